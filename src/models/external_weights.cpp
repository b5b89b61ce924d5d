#include "models/external_weights.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <span>
#include <system_error>
#include <utility>

namespace kelvra {

namespace {

// Bytes read from a weight file per call; the file's size is never asked
// for in advance, so a file that grows or shrinks while read is still read
// whole.
constexpr std::size_t kReadChunk = 1 << 16;

Failure<NnError> os_error(int code) {
  return fail(NnError{Io{std::system_category().message(code) + " (os error " + std::to_string(code) + ")"}});
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

ExternalWeights EXTERNAL;

Result<std::string, NnError> read_weight_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return fail(NnError{Io{"file name contained an unexpected NUL byte"}});
  }
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return os_error(errno);
  std::string data;
  std::size_t got = 0;
  do {
    const std::size_t old_size = data.size();
    data.resize(old_size + kReadChunk);
    got = std::fread(data.data() + old_size, 1, kReadChunk, file.get());
    data.resize(old_size + got);
  } while (got == kReadChunk);
  // A directory opens but fails on the first read (EISDIR).
  if (std::ferror(file.get())) return os_error(errno);
  return data;
}

ExternalWeights::Lock::Lock(ExternalWeights& cache)
    : cache_(cache), lock_(cache.mutex_), poisoned_(cache.poisoned_),
      exceptions_at_entry_(std::uncaught_exceptions()) {}

ExternalWeights::Lock::~Lock() {
  if (std::uncaught_exceptions() > exceptions_at_entry_) cache_.poisoned_ = true;
}

Result<std::shared_ptr<const Predictor>, NnError> ExternalWeights::Lock::load_external(const std::string& path) {
  if (auto found = cache_.entries_.find(path); found != cache_.entries_.end()) return found->second;
  auto data = read_weight_file(path);
  if (!data) return fail(data.error());
  const std::string& bytes = data.value();
  auto loaded = from_bytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  if (!loaded) return fail(loaded.error());
  auto predictor = std::make_shared<const Predictor>(std::move(loaded).value());
  cache_.entries_.emplace(path, predictor);
  return predictor;
}

}  // namespace kelvra
