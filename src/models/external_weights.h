// Weight files named by the caller (`EXTERNAL`). A file is known by what it
// is on disk, not by how its path is spelled: its device, inode, size and
// modification time. A file replaced or touched since it was loaded is read
// again; one deleted can no longer be opened and so no longer answers. At
// most kMaxExternalNetworks networks are kept, the least recently used
// giving way.
//
// One mutex guards the whole cache; the registry holds it from the lookup
// until the topology match is decided, so two threads never read or insert
// the same file at once. Only regular files are read, and only up to
// kMaxWeightFileBytes: a FIFO would block the reader forever and a device
// such as /dev/zero never ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "nn/network.h"
#include "support/result.h"

namespace kelvra {

// Far above the largest built-in network (about 0.5 MiB), far below what a
// process notices: a weight file is read whole into memory.
inline constexpr std::size_t kMaxWeightFileBytes = std::size_t{64} << 20;
// Distinct files a process is expected to use at once; each costs about as
// much memory as its file.
inline constexpr std::size_t kMaxExternalNetworks = 8;

// What makes two paths name the same unchanged file.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

// An open regular file of at most kMaxWeightFileBytes, with its identity.
class OpenWeightFile {
 public:
  OpenWeightFile(int fd, FileIdentity identity) : fd_(fd), identity_(identity) {}
  ~OpenWeightFile();
  OpenWeightFile(OpenWeightFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)), identity_(other.identity_) {}
  OpenWeightFile& operator=(OpenWeightFile&&) = delete;

  const FileIdentity& identity() const { return identity_; }
  // The rest of the file, to its end or the size limit.
  Result<std::string, NnError> read_all() const;

 private:
  int fd_;
  FileIdentity identity_;
};

class ExternalWeights {
 public:
  // A held lock on the cache. It fails, instead of locking, once the cache
  // is poisoned: an exception left a critical section, so it may be half
  // updated.
  class Lock {
   public:
    explicit Lock(ExternalWeights& cache);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    bool poisoned() const { return poisoned_; }

    // The network of the file at `path`: from the cache when the same
    // unchanged file was loaded before, otherwise read, loaded and inserted.
    // Io when the file cannot be opened or read or is not a regular file of
    // at most kMaxWeightFileBytes, the loader's error when it does not load;
    // failures are not inserted, so the next call tries again.
    Result<std::shared_ptr<const Predictor>, NnError> load_external(const std::string& path);

    // Networks held now (at most kMaxExternalNetworks).
    std::size_t entry_count() const { return cache_.entries_.size(); }

   private:
    ExternalWeights& cache_;
    std::unique_lock<std::mutex> lock_;
    bool poisoned_;
    // Exceptions in flight when the lock was taken: more at release means
    // one is leaving the critical section.
    int exceptions_at_entry_;
  };

 private:
  struct Entry {
    FileIdentity identity;
    std::shared_ptr<const Predictor> predictor;
    std::uint64_t last_use;
  };

  std::mutex mutex_;
  bool poisoned_ = false;
  std::vector<Entry> entries_;
  std::uint64_t uses_ = 0;
};

extern ExternalWeights EXTERNAL;

// The regular file at `path`, opened, or Io: the system's text and
// " (os error N)", "file name contained an unexpected NUL byte", "not a
// regular file" or the size limit.
Result<OpenWeightFile, NnError> open_weight_file(const std::string& path);

}  // namespace kelvra
