// Weight files named by the caller: read from disk once per path text and
// kept for the life of the process (`EXTERNAL`). One mutex guards the whole
// map; the registry holds it from the lookup until the topology match is
// decided, so two threads never read or insert the same path at once.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "nn/network.h"
#include "support/result.h"

namespace kelvra {

class ExternalWeights {
 public:
  // A held lock on the map. It fails, instead of locking, once the map is
  // poisoned: an exception left a critical section, so the map may be half
  // updated.
  class Lock {
   public:
    explicit Lock(ExternalWeights& cache);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    bool poisoned() const { return poisoned_; }

    // The network of `path`: from the map, or read, loaded and inserted.
    // Io when the file cannot be read, the loader's error when it does not
    // load; failures are not inserted, so the next call tries again.
    Result<std::shared_ptr<const Predictor>, NnError> load_external(const std::string& path);

   private:
    ExternalWeights& cache_;
    std::unique_lock<std::mutex> lock_;
    bool poisoned_;
    // Exceptions in flight when the lock was taken: more at release means
    // one is leaving the critical section.
    int exceptions_at_entry_;
  };

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  std::map<std::string, std::shared_ptr<const Predictor>, std::less<>> entries_;
};

extern ExternalWeights EXTERNAL;

// The whole file at `path`, or Io: the system's text and " (os error N)",
// or "file name contained an unexpected NUL byte".
Result<std::string, NnError> read_weight_file(const std::string& path);

}  // namespace kelvra
