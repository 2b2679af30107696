// The text of examples/sample_project.sdbdesc, embedded at build time by
// cmake/KSymEmbed.cmake (ksym_embed_text) into a generated source file.
#ifndef KSYM_PLCSIM_SAMPLE_DESCRIPTION_H
#define KSYM_PLCSIM_SAMPLE_DESCRIPTION_H

#include <string>

namespace plcsim {

std::string SampleDescriptionText();

} // namespace plcsim

#endif
