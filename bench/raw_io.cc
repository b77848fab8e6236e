// The machine's own limits for the work a blob cache does, with nothing of
// the cache in the way: no hashing, no checksums, no locks.
//
//   raw_io read  DIR SECONDS THREADS   open, fstat, read, close every regular
//                                      file under DIR, round and round
//   raw_io write DIR SECONDS FILE_LEN [THREADS [FIRST]]
//                                      create, write, fsync, close, rename
//                                      new files of FILE_LEN bytes in DIR, from
//                                      THREADS threads (1 by default) numbered
//                                      from FIRST (0), so that several
//                                      processes can write into one DIR
//   raw_io write-sharded DIR ...       the same, renamed into two levels of
//                                      256 shard directories made on first use,
//                                      the layout the cache's files need
//   raw_io walk  DIR                   list the tree under DIR and read every
//                                      byte of every file once
//
// Each prints one JSON object: {"ops": N, "seconds": S, "bytes": B}.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& step) {
  std::fprintf(stderr, "raw_io: %s: %s\n", step.c_str(), std::strerror(errno));
  std::exit(1);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(uint64_t ops, double seconds, uint64_t bytes) {
  std::printf("{\"ops\": %llu, \"seconds\": %.6f, \"bytes\": %llu}\n", static_cast<unsigned long long>(ops), seconds,
              static_cast<unsigned long long>(bytes));
}

// A page-aligned read buffer. Where the kernel copies to matters: on some
// CPUs a copy to a few bytes past a page boundary (where malloc puts large
// blocks) runs at less than half speed, and a limit should be the best case.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { std::free(data_); }

  char* reserve(size_t size) {
    if (size > size_) {
      std::free(data_);
      size_ = (size + 4095) / 4096 * 4096;
      data_ = static_cast<char*>(std::aligned_alloc(4096, size_));
      if (data_ == nullptr) die("allocate read buffer");
    }
    return data_;
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
};

// Reads the whole open file into `buffer`; returns its size.
size_t read_whole(int fd, Buffer& buffer, const std::string& path) {
  struct stat st;
  if (fstat(fd, &st) != 0) die("fstat " + path);
  auto size = static_cast<size_t>(st.st_size);
  char* data = buffer.reserve(size);
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("read " + path);
    done += static_cast<size_t>(n);
  }
  return size;
}

// Calls `visit` for every regular file under `dir`, in directory order.
template <typename Visit>
void walk(const std::string& dir, Visit&& visit) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) die("opendir " + dir);
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    std::string path = dir + "/" + e->d_name;
    if (e->d_type == DT_DIR) {
      walk(path, visit);
    } else if (e->d_type == DT_REG) {
      visit(path);
    }
  }
  closedir(d);
}

int run_read(const std::string& dir, double seconds, int threads) {
  std::vector<std::string> files;
  walk(dir, [&](const std::string& path) { files.push_back(path); });
  if (files.empty()) {
    std::fprintf(stderr, "raw_io: no files under %s\n", dir.c_str());
    return 1;
  }
  std::atomic<bool> stop{false};
  std::vector<uint64_t> ops(threads, 0), bytes(threads, 0);
  std::vector<std::thread> workers;
  auto start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      Buffer buffer;
      // Threads start at different files so they do not read in lockstep.
      size_t next = files.size() * t / threads;
      while (!stop.load(std::memory_order_relaxed)) {
        const std::string& path = files[next];
        next = next + 1 == files.size() ? 0 : next + 1;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) die("open " + path);
        bytes[t] += read_whole(fd, buffer, path);
        close(fd);
        ++ops[t];
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& w : workers) w.join();
  double elapsed = seconds_since(start);
  uint64_t total_ops = 0, total_bytes = 0;
  for (int t = 0; t < threads; ++t) {
    total_ops += ops[t];
    total_bytes += bytes[t];
  }
  report(total_ops, elapsed, total_bytes);
  return 0;
}

void write_all(int fd, const char* data, size_t len, const std::string& path) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("write " + path);
    data += n;
    len -= static_cast<size_t>(n);
  }
}

// Spreads consecutive numbers over the shards the way a digest would.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EB;
  return x ^ (x >> 31);
}

// The directory file `name` is renamed into: out/ or out/H1/H2/. Another
// thread may make a shard first.
std::string target_dir(const std::string& out, uint64_t name, bool sharded, std::set<std::string>& made) {
  if (!sharded) return out;
  char shard[8];
  uint64_t h = mix(name);
  std::snprintf(shard, sizeof shard, "%02x/%02x", static_cast<unsigned>(h & 0xFF), static_cast<unsigned>(h >> 8 & 0xFF));
  std::string level1 = out + "/" + std::string(shard, 2), level2 = out + "/" + shard;
  for (const std::string& d : {level1, level2}) {
    if (made.insert(d).second && mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) die("mkdir " + d);
  }
  return level2;
}

int run_write(const std::string& dir, double seconds, size_t file_len, bool sharded, int threads, int first) {
  std::string tmp = dir + "/tmp", out = dir + "/out";
  for (const std::string& d : {dir, tmp, out}) {
    if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) die("mkdir " + d);
  }
  std::vector<char> data(file_len);
  for (size_t i = 0; i < file_len; ++i) data[i] = static_cast<char>(i * 131 + 7);
  std::vector<uint64_t> counts(threads, 0);
  std::vector<std::thread> workers;
  auto start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::set<std::string> made;
      uint64_t count = 0;
      while (seconds_since(start) < seconds) {
        const uint64_t name = static_cast<uint64_t>(first + t) << 40 | count;
        std::string from = tmp + "/raw-" + std::to_string(name) + ".tmp";
        std::string to = target_dir(out, name, sharded, made) + "/" + std::to_string(name);
        int fd = open(from.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) die("create " + from);
        write_all(fd, data.data(), data.size(), from);
        while (fsync(fd) != 0) {
          if (errno != EINTR) die("fsync " + from);
        }
        close(fd);
        if (rename(from.c_str(), to.c_str()) != 0) die("rename " + from);
        ++count;
      }
      counts[t] = count;
    });
  }
  for (auto& w : workers) w.join();
  uint64_t total = 0;
  for (uint64_t count : counts) total += count;
  report(total, seconds_since(start), total * file_len);
  return 0;
}

int run_walk(const std::string& dir) {
  Buffer buffer;
  uint64_t files = 0, bytes = 0;
  auto start = Clock::now();
  walk(dir, [&](const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("open " + path);
    bytes += read_whole(fd, buffer, path);
    close(fd);
    ++files;
  });
  report(files, seconds_since(start), bytes);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: raw_io read DIR SECONDS THREADS\n"
               "       raw_io write|write-sharded DIR SECONDS FILE_LEN [THREADS [FIRST]]\n"
               "       raw_io walk DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string mode = argv[1], dir = argv[2];
  if (mode == "read" && argc == 5) return run_read(dir, std::atof(argv[3]), std::max(1, std::atoi(argv[4])));
  if ((mode == "write" || mode == "write-sharded") && argc >= 5 && argc <= 7)
    return run_write(dir, std::atof(argv[3]), std::strtoull(argv[4], nullptr, 10), mode == "write-sharded",
                     argc >= 6 ? std::max(1, std::atoi(argv[5])) : 1, argc == 7 ? std::max(0, std::atoi(argv[6])) : 0);
  if (mode == "walk" && argc == 3) return run_walk(dir);
  return usage();
}
