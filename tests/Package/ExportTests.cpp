// The layers as shared libraries of this build: each found by the name that
// carries its major version, exporting names that its headers declare (and
// the standard library's instantiations) and nothing of the libraries it is
// built on; the plug-in carries its version as data.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginVersion.h"
#include "tests/Tools/ToolTestSupport.h"

namespace {

namespace fs = std::filesystem;

// The name that a demangled symbol is about ("NSURL::host() const" is about
// NSURL::host, "typeinfo for UIView" about UIView): argument lists, template
// arguments and ABI tags dropped, then the last word.
std::string ownName(std::string symbol) {
  for (const std::string_view prefix :
       {"typeinfo name for ", "typeinfo for ", "vtable for ", "VTT for ",
        "construction vtable for ", "guard variable for ", "non-virtual thunk to ",
        "virtual thunk to ", "TLS init function for ", "TLS wrapper function for "}) {
    if (symbol.starts_with(prefix)) symbol.erase(0, prefix.size());
  }
  // Operators whose names would open or close a bracket ("operator<=><T>"
  // is a template of one).
  for (const std::string_view op :
       {"operator<=>", "operator<<=", "operator>>=", "operator<<", "operator>>",
        "operator<=", "operator>=", "operator<", "operator>", "operator->", "operator()"}) {
    for (size_t at = symbol.find(op); at != std::string::npos; at = symbol.find(op, at))
      symbol.replace(at, op.size(), "operator~");  // "~": no operator above matches again
  }
  std::string flat;
  int depth = 0;
  for (const char c : symbol) {
    if (c == '<' || c == '(' || c == '[') ++depth;
    if (depth == 0) flat += c;
    if ((c == '>' || c == ')' || c == ']') && depth > 0) --depth;
  }
  std::vector<std::string> words;
  for (size_t at = 0; at < flat.size();) {
    const size_t end = std::min(flat.find(' ', at), flat.size());
    if (end > at) words.push_back(flat.substr(at, end - at));
    at = end + 1;
  }
  // Qualifiers after the name ("const", "&", "*" of a function type's
  // result).
  while (!words.empty()) {
    std::string& last = words.back();
    while (!last.empty() && (last.back() == '&' || last.back() == '*'))
      last.pop_back();
    if (!last.empty() && last != "const" && last != "volatile") break;
    words.pop_back();
  }
  return words.empty() ? std::string() : words.back();
}

// The libraries' dynamic symbols, defined ones, demangled.
std::vector<std::string> exportedSymbols(const fs::path& library) {
  ChildProcess nm({ZRL_NM, "-D", "--defined-only", "-C", library.string()});
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

// Every identifier written in the layers' headers.
std::set<std::string> headerIdentifiers() {
  std::set<std::string> names;
  for (const char* folder :
       {"Platform", "ZorlanSDK", "ZRLRTAPlugin", "LDEventSource", "ZRLWYSIWYGPlugin"}) {
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(ZRL_SOURCE_DIR) / folder)) {
      if (entry.path().extension() != ".h") continue;
      const std::string text = readFile(entry.path());
      for (size_t at = 0; at < text.size();) {
        const auto word = [&](size_t i) {
          return i < text.size() &&
                 (std::isalnum(static_cast<unsigned char>(text[i])) != 0 || text[i] == '_');
        };
        if (!word(at)) {
          ++at;
          continue;
        }
        size_t end = at;
        while (word(end))
          ++end;
        names.insert(text.substr(at, end - at));
        at = end;
      }
    }
  }
  return names;
}

bool isThirdParty(const std::string& name) {
  for (const std::string_view prefix : {"asio", "nlohmann", "boost", "fmt::", "curl_", "Curl_",
                                        "cairo_", "pango_", "spng_", "png_", "g_", "FT_", "hb_"}) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
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
  const std::set<std::string> declared = headerIdentifiers();
  for (const Layer& layer : layers) {
    SCOPED_TRACE(layer.file);
    const fs::path library = fs::path(ZRL_LIBRARY_DIR) / layer.file;
    ASSERT_TRUE(fs::exists(library));
    const std::vector<std::string> symbols = exportedSymbols(library);
    for (const std::string& wanted : layer.interface) {
      EXPECT_TRUE(
          std::ranges::any_of(symbols, [&](const auto& s) { return s.starts_with(wanted); }))
          << wanted << " is not exported";
    }
    for (const std::string& symbol : symbols) {
      const std::string name = ownName(symbol);
      EXPECT_FALSE(isThirdParty(name)) << symbol;
      const std::string head = name.substr(0, name.find("::"));
      // The linker's own symbols and the sanitizers' (a sanitizer build).
      const bool tooling = head.starts_with("_") && !head.starts_with("__gnu_cxx") &&
                           (head.starts_with("__asan") || head.starts_with("___asan") ||
                            head.starts_with("__odr_asan") || head.starts_with("__sancov") ||
                            head == "_edata" || head == "_end" || head == "__bss_start");
      // The type information of function types (the undefined-behaviour
      // sanitizer's), named by their return type.
      const bool fundamental = head == "void" || head == "bool" || head == "char" ||
                               head == "int" || head == "unsigned" || head == "long" ||
                               head == "double" || head == "float" || head == "signed" ||
                               head == "short";
      EXPECT_TRUE(declared.contains(head) || head == "std" || head == "__gnu_cxx" ||
                  head.starts_with("operator") || tooling || fundamental)
          << symbol << " (" << head << ") is declared in no header of the layers";
    }
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
