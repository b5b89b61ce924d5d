// Every way loading a weight file or running its network can fail. Each
// variant renders to one fixed line; the Python layer raises it as a
// ValueError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

namespace kelvra {

// A file on disk could not be opened or read: the operating system's text
// followed by " (os error N)".
struct Io { std::string error; };
struct BadMagic {};
// A read would pass the end of the data, a string is not UTF-8, or an
// element count overflows.
struct Truncated {};
struct MissingKey { std::string name; };
struct Unparsable { std::string key; };
struct UnsupportedEstimator { std::string value; };
struct UnknownEncoding { std::uint8_t byte; };
struct ElementCount {
  std::string name;
  std::size_t found;
  std::size_t required;
};
struct TooFewPoints { std::size_t n; };
// The file parses but its tensors or metadata disagree with each other in a
// way inference cannot survive (a shape, a length, an index); `detail` says
// which, in the words of the message.
struct InconsistentShape { std::string detail; };

using NnError = std::variant<Io, BadMagic, Truncated, MissingKey, Unparsable, UnsupportedEstimator,
                             UnknownEncoding, ElementCount, TooFewPoints, InconsistentShape>;

std::string display(const NnError& error);

}  // namespace kelvra
