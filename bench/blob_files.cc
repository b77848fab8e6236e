// Writes COUNT valid blob files straight into the layout of a cache directory,
// fast: the store's own header, checksum and path code, but no temp file, no
// rename and no fsync. For benchmarks of opening large caches only.
//
//   blob_files DIR COUNT PAYLOAD_LEN   IDs "blob-000000001" (14 bytes) up
//
// Prints one JSON object: {"files": N, "seconds": S, "bytes": B}.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/format.h"
#include "store/store.h"

namespace {

[[noreturn]] void die(const std::string& step) {
  std::fprintf(stderr, "blob_files: %s: %s\n", step.c_str(), std::strerror(errno));
  std::exit(1);
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) die("mkdir " + path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: blob_files DIR COUNT PAYLOAD_LEN\n");
    return 2;
  }
  const std::string dir = argv[1];
  const uint64_t count = std::strtoull(argv[2], nullptr, 10);
  const size_t payload_len = std::strtoull(argv[3], nullptr, 10);
  auto store = qel::LocalFileStore::create(dir);
  if (!store) {
    std::fprintf(stderr, "blob_files: %s\n", store.error().to_string().c_str());
    return 1;
  }
  make_dir(dir);
  make_dir(store->tmp_dir());
  make_dir(store->blobs_dir());

  std::vector<bool> made(1 << 16);  // shard directories, by their two hex pairs
  std::vector<uint8_t> payload(payload_len);
  uint64_t bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 1; i <= count; ++i) {
    char id[32];
    const int id_len = std::snprintf(id, sizeof id, "blob-%09llu", static_cast<unsigned long long>(i));
    // Each payload its own, so no two files share a checksum.
    for (size_t k = 0; k < payload_len; ++k) payload[k] = static_cast<uint8_t>(i * 31 + k * 7);
    const auto id_bytes = std::span(reinterpret_cast<const uint8_t*>(id), static_cast<size_t>(id_len));
    const uint32_t crc = qel::crc32c(qel::crc32c(0, id_bytes), payload);
    const auto header = qel::encode_header(static_cast<uint32_t>(id_len), payload_len, crc);

    const std::filesystem::path path = store->path_for(std::string_view(id, static_cast<size_t>(id_len)));
    const std::filesystem::path shard = path.parent_path();
    const size_t slot = std::stoul(shard.parent_path().filename().native() + shard.filename().native(), nullptr, 16);
    if (!made[slot]) {
      make_dir(shard.parent_path());
      make_dir(shard);
      made[slot] = true;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) die("create " + path.native());
    iovec parts[] = {{const_cast<uint8_t*>(header.data()), header.size()},
                     {id, static_cast<size_t>(id_len)},
                     {payload.data(), payload.size()}};
    const size_t len = header.size() + static_cast<size_t>(id_len) + payload.size();
    if (::writev(fd, parts, 3) != static_cast<ssize_t>(len)) die("write " + path.native());
    if (::close(fd) != 0) die("close " + path.native());
    bytes += len;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("{\"files\": %llu, \"seconds\": %.6f, \"bytes\": %llu}\n", static_cast<unsigned long long>(count), seconds,
              static_cast<unsigned long long>(bytes));
  return 0;
}
