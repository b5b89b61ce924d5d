#include "nn/nn_error.h"

#include "support/overloaded.h"
#include "support/text.h"

namespace kelvra {

namespace {

// The only scale estimator this build implements, as the message lists it.
constexpr const char* kSupportedEstimators = "reactive_centroid";

}  // namespace

std::string display(const NnError& error) {
  return std::visit(
      Overloaded{
          [](const Io& e) { return "reading weights: " + e.error; },
          [](const BadMagic&) { return std::string("not an eisnn weight file (bad magic bytes)"); },
          [](const Truncated&) { return std::string("weight file is truncated"); },
          [](const MissingKey& e) { return "weight file is missing " + debug_quoted(e.name); },
          [](const Unparsable& e) { return "weight file has an unparsable value for " + debug_quoted(e.key); },
          [](const UnsupportedEstimator& e) {
            return "weight file was normalised with the " + debug_quoted(e.value) +
                   " scale estimator, which this build does not implement (supported: " + kSupportedEstimators +
                   ")";
          },
          [](const UnknownEncoding& e) {
            return "weight file uses tensor encoding " + std::to_string(e.byte) + ", which this build does not know";
          },
          [](const ElementCount& e) {
            return "tensor " + debug_quoted(e.name) + " has " + std::to_string(e.found) + " elements, expected " +
                   std::to_string(e.required);
          },
          [](const TooFewPoints& e) {
            return "need at least 2 frequency points to guess, got " + std::to_string(e.n);
          },
          [](const InconsistentShape& e) { return "weight file is inconsistent: " + e.detail; },
      },
      error);
}

}  // namespace kelvra
