// The layers as shared libraries of this build: each found by the name that
// carries its major version, exporting its interface and nothing of the
// libraries it is built on; the plug-in carries its version as data.

#include <filesystem>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginVersion.h"
#include "tests/Tools/ToolTestSupport.h"

namespace {

namespace fs = std::filesystem;

// The library's dynamic symbols, defined ones, demangled or as the linker
// sees them.
std::vector<std::string> exportedSymbols(const fs::path& library, bool demangled) {
  ChildProcess nm(
      {ZRL_NM, "-D", "--defined-only", demangled ? "-C" : "--no-demangle", library.string()});
  std::vector<std::string> symbols;
  while (const auto line = nm.readLine()) {
    // "ADDRESS TYPE NAME"
    const size_t type = line->find(' ');
    if (type == std::string::npos || line->size() < type + 3) continue;
    symbols.push_back(line->substr(type + 3));
  }
  EXPECT_EQ(nm.wait(), 0) << nm.errorOutput();
  return symbols;
}

// A symbol of the libraries beneath: a C function of theirs, or a C++ name
// (a function, or the type information, virtual table, guard variable or
// thread-local wrapper of one) in one of their namespaces.
bool isThirdParty(const std::string& mangled) {
  static const std::regex thirdParty(
      "(curl_|Curl_|cairo_|pango_|spng_|png_|g_|FT_|hb_).*|"
      "_Z(T[ISVTHW]|GV)?N[rVKRO]*(4asio|8nlohmann|5boost|3fmt).*");
  return std::regex_match(mangled, thirdParty);
}

TEST(SharedLibraries, ExportTheirInterfaceAndNothingOfTheLibrariesBeneath) {
  struct Layer {
    const char* file;                    // the name with the major version (the SONAME)
    std::vector<std::string> interface;  // symbols that must be exported, by their start
  };
  const std::vector<Layer> layers = {
      {"libZRLPlatform.so.1", {"dispatch_get_main_queue()", "NSURLSessionEngine::shared()"}},
      {"libZRLUIKit.so.1", {"UIApplication::sharedApplication()", "typeinfo for UIView"}},
      {"libZorlanSDK.so.1", {"ZRLController::sharedController()", "LOG_LEVEL"}},
      {"libZRLRTAPlugin.so.1", {"ZRLPreviewBuilder::setObserver(", "typeinfo for ZRLInapp"}},
      {"libLDEventSource.so.1", {"LDEventSource::eventSourceWithURL(", "typeinfo for LDEvent"}},
      {"libZRLWYSIWYGPlugin.so.1",
       {"ZRLWYSIWYGPlugin::initialize(", "ZRLWYSIWYGPluginVersionNumber",
        "ZRLWYSIWYGPluginVersionString"}},
  };
  for (const Layer& layer : layers) {
    SCOPED_TRACE(layer.file);
    const fs::path library = fs::path(ZRL_LIBRARY_DIR) / layer.file;
    const std::vector<std::string> symbols = exportedSymbols(library, true);
    for (const std::string& wanted : layer.interface)
      EXPECT_THAT(symbols, ::testing::Contains(::testing::StartsWith(wanted)));
    for (const std::string& symbol : exportedSymbols(library, false))
      EXPECT_FALSE(isThirdParty(symbol)) << symbol;
  }
}

TEST(SharedLibraries, ThePlugInCarriesItsVersion) {
  constexpr std::string_view text = "@(#)PROGRAM:ZRLWYSIWYGPlugin  PROJECT:ZRLWYSIWYGPlugin-1\n";
  EXPECT_EQ(ZRLWYSIWYGPluginVersionNumber, 1.0);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(ZRLWYSIWYGPluginVersionString)), text);
  // The text itself in the library file, where what-style tools look.
  const std::string binary = readFile(fs::path(ZRL_LIBRARY_DIR) / "libZRLWYSIWYGPlugin.so.1");
  EXPECT_NE(binary.find(text), std::string::npos);
}

}  // namespace
