// Feeds arbitrary bytes to the blob file check and the store's readers as the content of a blob
// file. Input: one control byte, then the file content.
//   bit 0    place the file where its embedded blob ID maps (else a fixed path)
//   bits 1-2 the record `read` is checked against: exact, checksum + 1,
//            file_len + 1, or another blob ID
// A record the store derives itself (which spares reads the path check) must
// be read exactly like one it checks.
// Whatever a reader accepts must verify against an oracle of the format
// written here, and a well-formed file at its own path must be accepted.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "store/blob_file.h"
#include "store/format.h"
#include "store/store.h"

namespace {

using qel::BlobCacheError;
namespace fs = std::filesystem;

void require(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "invariant violated: %s\n", what);
    abort();
  }
}

uint64_t le(const uint8_t* p, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

// Bitwise, so that it shares nothing with the library's table or instruction.
uint32_t oracle_crc32c(const uint8_t* data, size_t len) {
  uint32_t crc = ~0u;
  for (size_t i = 0; i < len; i++) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; bit++) crc = crc >> 1 ^ (0x82F63B78u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool oracle_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = static_cast<uint8_t>(s[i]);
    size_t n = c < 0x80 ? 0 : c >= 0xC2 && c <= 0xDF ? 1 : (c & 0xF0) == 0xE0 ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 9;
    if (n == 9 || i + n >= s.size()) return false;
    uint32_t cp = n == 0 ? c : c & (0x3F >> n);
    for (size_t k = 1; k <= n; k++) {
      uint8_t cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += n + 1;
  }
  return true;
}

// What the format says about a file, decided without the library.
struct Oracle {
  bool header_ok = false;  // magic, version, reserved
  bool valid = false;      // everything but the path
  uint32_t id_len = 0;
  uint64_t payload_len = 0;
  uint32_t checksum = 0;
  std::string blob_id;  // as far as the file holds it

  Oracle(const uint8_t* data, size_t size) {
    if (size < qel::HEADER_LEN) return;
    header_ok = std::memcmp(data, qel::MAGIC.data(), 4) == 0 && data[4] == 1 && data[5] == 0 && data[6] == 0 &&
                data[7] == 0;
    id_len = static_cast<uint32_t>(le(data + 8, 4));
    payload_len = le(data + 12, 8);
    checksum = static_cast<uint32_t>(le(data + 20, 4));
    size_t id_avail = std::min<size_t>(id_len, size - qel::HEADER_LEN);
    blob_id.assign(reinterpret_cast<const char*>(data) + qel::HEADER_LEN, id_avail);
    bool lengths = id_len >= 1 && id_len <= qel::MAX_BLOB_ID_LEN &&
                   payload_len <= UINT64_MAX - qel::HEADER_LEN - id_len &&
                   qel::HEADER_LEN + id_len + payload_len == size;
    valid = header_ok && lengths && oracle_utf8(blob_id) &&
            oracle_crc32c(data + qel::HEADER_LEN, size - qel::HEADER_LEN) == checksum;
  }
};

struct Harness {
  fs::path root;
  std::optional<qel::LocalFileStore> store;

  Harness() {
    std::string tmpl = (fs::exists("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/qel-fuzz-XXXXXX");
    require(mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
    root = tmpl;
    auto created = qel::LocalFileStore::create(root.string());
    require(created.has_value(), "create store");
    store.emplace(std::move(created).value());
    require(store->prepare().has_value(), "prepare store");
  }
  ~Harness() {
    store.reset();
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

void check_corrupt(const BlobCacheError& error, const std::string& relative) {
  require(error.kind() == BlobCacheError::Kind::CorruptEntry, "a readable file only ever fails as corrupt");
  std::string text = error.to_string();
  require(text.rfind("corrupt blob cache entry: ", 0) == 0, "corrupt prefix");
  require(text.find(relative) != std::string::npos, "message names the file");
}

void check_decode_header(const uint8_t* data, const Oracle& oracle) {
  auto header = qel::decode_header(std::span<const uint8_t, qel::HEADER_LEN>(data, qel::HEADER_LEN));
  require(header.has_value() == oracle.header_ok, "decode_header agrees on magic, version, reserved");
  if (!header) {
    std::string text = header.error().message();
    bool magic = std::memcmp(data, qel::MAGIC.data(), 4) != 0;
    bool version = !magic && data[4] != 1;
    require(magic ? text == "invalid magic"
                  : version ? text == "unsupported version " + std::to_string(data[4]) : text == "non-zero reserved bytes",
            "first failing header check is reported");
    return;
  }
  require(header->id_len == oracle.id_len && header->payload_len == oracle.payload_len &&
              header->checksum == oracle.checksum,
          "decoded fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t input_size) {
  static Harness harness;
  if (input_size == 0) return 0;
  const qel::LocalFileStore& store = *harness.store;
  uint8_t control = input[0];
  const uint8_t* data = input + 1;
  size_t size = input_size - 1;
  Oracle oracle(data, size);
  if (size >= qel::HEADER_LEN) check_decode_header(data, oracle);

  fs::path path = store.path_for((control & 1) ? oracle.blob_id : std::string("fixed"));
  bool at_home = store.path_for(oracle.blob_id) == path;
  fs::create_directories(path.parent_path());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  require(fd >= 0, "write input file");
  require(::write(fd, data, size) == static_cast<ssize_t>(size), "write input file");
  ::close(fd);
  std::string relative = store.relative(path);
  bool well_formed = oracle.valid && at_home;
  std::span<const uint8_t> payload(data + qel::HEADER_LEN + oracle.id_len, well_formed ? oracle.payload_len : 0);

  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  require(fd >= 0, "open input file");
  std::string stored_id;
  const qel::BlobNames names(harness.root);
  auto verified = qel::verify_blob_file({fd, static_cast<int64_t>(size), path.native(), names}, nullptr, {}, &stored_id);
  require(verified.has_value() == well_formed, "verification accepts exactly the well-formed files");
  if (verified) {
    require(stored_id == oracle.blob_id && verified->id_len == oracle.id_len &&
                verified->payload_len == oracle.payload_len && verified->checksum == oracle.checksum,
            "verified header and ID match the file");
  } else {
    check_corrupt(verified.error(), relative);
  }
  ::close(fd);

  auto inspected = store.inspect(path);
  require(inspected.has_value() == well_formed, "inspect accepts exactly the well-formed files");
  if (inspected) {
    require(inspected->blob_id == oracle.blob_id && inspected->path == path &&
                inspected->file_len == static_cast<int64_t>(size) && inspected->checksum == oracle.checksum,
            "inspected record");
  } else {
    check_corrupt(inspected.error(), relative);
  }

  qel::FileMetadata record{oracle.blob_id, path, {}, static_cast<int64_t>(size), oracle.checksum};
  int perturbation = control >> 1 & 3;
  if (perturbation == 1) record.checksum += 1;
  if (perturbation == 2) record.file_len += 1;
  if (perturbation == 3) record.blob_id += "x";
  auto read = store.read(record);
  require(read.has_value() == (well_formed && perturbation == 0), "read accepts exactly a matching record");
  if (read) {
    require(read->size() == payload.size() && std::equal(payload.begin(), payload.end(), read->data()),
            "read returns the stored payload");
  } else {
    check_corrupt(read.error(), relative);
  }
  if (at_home && oracle.header_ok && qel::HEADER_LEN + oracle.id_len <= size) {
    std::span<const uint8_t> rest(data + qel::HEADER_LEN + oracle.id_len, size - qel::HEADER_LEN - oracle.id_len);
    auto derived = store.metadata_for(oracle.blob_id, rest);
    if (derived) require(store.read(*derived).has_value() == well_formed, "a derived record reads like a checked one");
  }
  fs::remove(path);
  return 0;
}
