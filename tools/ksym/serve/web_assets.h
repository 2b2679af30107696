// ksym serve's page, embedded into the program at build time from tools/ksym/serve/web/ (see
// cmake/KSymEmbed.cmake), so that the program serves it from wherever it runs.
#ifndef KSYM_TOOLS_WEB_ASSETS_H
#define KSYM_TOOLS_WEB_ASSETS_H

#include <string>

namespace ksymtool {

std::string WebIndexHtml();
std::string WebAppJs();
std::string WebStyleCss();

} // namespace ksymtool

#endif
