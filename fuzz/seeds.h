// The seed writers of make_seeds: one function per group of fuzz targets, each writing its
// targets' seeds under CORPUS_DIR/<target>/.
#ifndef KSYM_FUZZ_SEEDS_H
#define KSYM_FUZZ_SEEDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace ksymseeds {

// Writes one seed; false (with the reason on stderr) when it is too big or cannot be written.
bool WriteSeed(const std::string& path, const std::vector<uint8_t>& bytes);

// station_frame, client_receive and station_request: frames and telegrams as the client
// library sends them and the simulated controller answers them.
bool WriteStationSeeds(const std::string& corpus);
// registry_file, sdb_description and value_text: texts as users and the library write them.
bool WriteTextSeeds(const std::string& corpus);

} // namespace ksymseeds

#endif
