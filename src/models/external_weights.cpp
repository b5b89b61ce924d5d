#include "models/external_weights.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <span>
#include <system_error>

#include "support/interrupt.h"

namespace kelvra {

namespace {

// Bytes read from a weight file per call. The size fstat gave is only a
// hint: a file that grows while read is read to its end, up to the limit.
constexpr std::size_t kReadChunk = 1 << 16;
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr int kBytesPerMiBShift = 20;

Failure<NnError> os_error(int code) {
  return fail(NnError{Io{std::system_category().message(code) + " (os error " + std::to_string(code) + ")"}});
}

Failure<NnError> too_large() {
  return fail(NnError{
      Io{"file is larger than the limit of " + std::to_string(kMaxWeightFileBytes >> kBytesPerMiBShift) + " MiB"}});
}

FileIdentity identity_of(const struct stat& status) {
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                      static_cast<std::uint64_t>(status.st_size),
                      static_cast<std::int64_t>(status.st_mtim.tv_sec) * kNanosecondsPerSecond +
                          static_cast<std::int64_t>(status.st_mtim.tv_nsec)};
}

}  // namespace

ExternalWeights EXTERNAL;

OpenWeightFile::~OpenWeightFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<OpenWeightFile, NnError> open_weight_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return fail(NnError{Io{"file name contained an unexpected NUL byte"}});
  }
  // Non-blocking, so that opening a FIFO with no writer returns at once
  // instead of waiting for one; a regular file ignores the flag.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return os_error(errno);
  struct stat status {};
  const bool known = ::fstat(fd, &status) == 0;
  OpenWeightFile file(fd, known ? identity_of(status) : FileIdentity{});
  if (!known) return os_error(errno);
  if (S_ISDIR(status.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(status.st_mode)) return fail(NnError{Io{"not a regular file"}});
  if (static_cast<std::uint64_t>(status.st_size) > kMaxWeightFileBytes) return too_large();
  return file;
}

Result<std::string, NnError> OpenWeightFile::read_all() const {
  std::string data;
  for (;;) {
    poll_interrupt();
    const std::size_t old_size = data.size();
    data.resize(old_size + kReadChunk);
    const ssize_t got = ::read(fd_, data.data() + old_size, kReadChunk);
    if (got < 0) {
      const int code = errno;
      data.resize(old_size);
      if (code == EINTR) continue;
      return os_error(code);
    }
    data.resize(old_size + static_cast<std::size_t>(got));
    if (got == 0) return data;
    if (data.size() > kMaxWeightFileBytes) return too_large();
  }
}

ExternalWeights::Lock::Lock(ExternalWeights& cache)
    : cache_(cache), lock_(cache.mutex_), poisoned_(cache.poisoned_),
      exceptions_at_entry_(std::uncaught_exceptions()) {}

ExternalWeights::Lock::~Lock() {
  if (std::uncaught_exceptions() > exceptions_at_entry_) cache_.poisoned_ = true;
}

Result<std::shared_ptr<const Predictor>, NnError> ExternalWeights::Lock::load_external(const std::string& path) {
  // Opened before the cache is asked: the file's identity is its key.
  auto opened = open_weight_file(path);
  if (!opened) return fail(opened.error());
  const OpenWeightFile& file = opened.value();
  std::vector<Entry>& entries = cache_.entries_;
  const std::uint64_t now = ++cache_.uses_;
  auto same_file = [&](const Entry& entry) { return entry.identity == file.identity(); };
  if (auto found = std::find_if(entries.begin(), entries.end(), same_file); found != entries.end()) {
    found->last_use = now;
    return found->predictor;
  }
  auto bytes = file.read_all();
  if (!bytes) return fail(bytes.error());
  const std::string& data = bytes.value();
  auto loaded = from_bytes(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
  if (!loaded) return fail(loaded.error());
  auto predictor = std::make_shared<const Predictor>(std::move(loaded).value());
  if (entries.size() >= kMaxExternalNetworks) {
    entries.erase(std::min_element(entries.begin(), entries.end(),
                                   [](const Entry& a, const Entry& b) { return a.last_use < b.last_use; }));
  }
  entries.push_back(Entry{file.identity(), predictor, now});
  return predictor;
}

}  // namespace kelvra
