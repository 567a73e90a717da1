#include "ledger/nft.h"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

#include "core/crypto.h"
#include "core/fsutil.h"
#include "core/hex.h"
#include "core/text.h"
#include "ledger/chain.h"

namespace nft {

namespace {

constexpr std::string_view kExt = ".jpg";
constexpr size_t kNameLen = 64 + 4;

std::string file_name(std::string_view hash) { return std::string(hash) + std::string(kExt); }

// ---- JPEG decoding ----

enum class Decoded { kOk, kFailed, kEmpty, kTooLarge };

struct ErrorJump {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  int code;
};

[[noreturn]] void on_error_exit(j_common_ptr cinfo) {
  auto* e = reinterpret_cast<ErrorJump*>(cinfo->err);
  e->code = cinfo->err->msg_code;
  std::longjmp(e->jump, 1);
}

// The decoder pads a truncated image with grey and only warns; a cut-off upload is a
// broken image, and stopping at the cut also bounds the work a tiny file with huge
// declared dimensions can cause. Other warnings are tolerated, as the decoder intends.
void on_message(j_common_ptr cinfo, int level) {
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) on_error_exit(cinfo);
}

void no_output(j_common_ptr) {}

// Every scan of a progressive image passes over the blocks of its components again, so a
// file of many small scans costs far more than its size suggests. A scan costs a visit of
// each block it covers and the decoding of the coefficients it codes there. Sound encoders
// visit each block a handful of times and code each coefficient up to three times, so an
// image whose scans ask for more than the limits below is refused as broken before the
// scan that would pass them is decoded.
struct ScanBudget {
  jpeg_progress_mgr mgr{};
  int scan = 0;
  uint64_t visits = 0;
  uint64_t coefficients = 0;
};

void on_progress(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  auto* budget = reinterpret_cast<ScanBudget*>(cinfo->progress);
  if (d->input_scan_number == budget->scan) return;
  budget->scan = d->input_scan_number;
  uint64_t blocks = 0;
  for (int i = 0; i < d->comps_in_scan; ++i) {
    blocks +=
        uint64_t{d->cur_comp_info[i]->width_in_blocks} * d->cur_comp_info[i]->height_in_blocks;
  }
  const uint64_t coefficients = blocks * static_cast<uint64_t>(d->Se - d->Ss + 1);
  if (blocks > budget->visits || coefficients > budget->coefficients) {
    auto* e = reinterpret_cast<ErrorJump*>(cinfo->err);
    e->code = 0;
    std::longjmp(e->jump, 1);
  }
  budget->visits -= blocks;
  budget->coefficients -= coefficients;
}

// Reads the frame header, refuses an image whose declared size is out of bounds before any
// pixel is decoded, then decodes the whole image (pixels are read row by row and dropped).
// A declared size, unlike a decoded one, costs nothing to check: a few hundred bytes can
// declare 65500 x 65500 pixels, and decoding those would take seconds and gigabytes.
// Only plain C objects live in this frame, so the decoder's error jump skips no destructor.
Decoded decode_jpeg(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height) {
  jpeg_decompress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  ErrorJump err;
  ScanBudget budget;
  budget.mgr.progress_monitor = on_progress;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = on_error_exit;
  err.mgr.emit_message = on_message;
  err.mgr.output_message = no_output;
  err.code = 0;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    // The decoder refuses a frame of zero width or height itself.
    return err.code == JERR_EMPTY_IMAGE ? Decoded::kEmpty : Decoded::kFailed;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = kDecoderMemory;
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  *width = cinfo.image_width;
  *height = cinfo.image_height;
  if (*width == 0 || *height == 0) {
    jpeg_destroy_decompress(&cinfo);
    return Decoded::kEmpty;
  }
  if (*width > kMaxSide || *height > kMaxSide) {
    jpeg_destroy_decompress(&cinfo);
    return Decoded::kTooLarge;
  }
  uint64_t blocks = 0;
  for (int i = 0; i < cinfo.num_components; ++i) {
    blocks += uint64_t{cinfo.comp_info[i].width_in_blocks} * cinfo.comp_info[i].height_in_blocks;
  }
  budget.visits = blocks * kMaxBlockVisits;
  budget.coefficients = blocks * DCTSIZE2 * kMaxCoefficientPasses;
  cinfo.progress = &budget.mgr;
  jpeg_start_decompress(&cinfo);
  JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(
      reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
      cinfo.output_width * static_cast<JDIMENSION>(cinfo.output_components), 1);
  while (cinfo.output_scanline < cinfo.output_height) jpeg_read_scanlines(&cinfo, row, 1);
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return Decoded::kOk;
}

bool regular_file_at(const std::filesystem::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The size of the largest chain file directly in `dir`: a regular file that begins with
// the chain magic (our chain, or a peer's staged beside it). 0 when there is none.
uint64_t largest_chain(const std::filesystem::path& dir) {
  const std::filesystem::path at = dir.empty() ? std::filesystem::path(".") : dir;
  DIR* list = ::opendir(at.c_str());
  if (list == nullptr) return 0;
  const int d = ::dirfd(list);
  uint64_t largest = 0;
  while (const dirent* e = ::readdir(list)) {
    struct stat st;
    if (::fstatat(d, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) <= largest) {
      continue;
    }
    fsutil::Fd f(::openat(d, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    char magic[4];
    if (f.valid() && ::pread(f.get(), magic, sizeof magic, 0) == sizeof magic &&
        std::string_view(magic, sizeof magic) == chain::kMagic) {
      largest = static_cast<uint64_t>(st.st_size);
    }
  }
  ::closedir(list);
  return largest;
}

}  // namespace

uint64_t reserve(const std::filesystem::path& store) {
  return std::max(kMinReserve, 2 * largest_chain(store.parent_path()) + kReserveMargin);
}

bool has_room(const std::filesystem::path& store, uint64_t bytes) {
  struct statvfs vfs {};
  if (::statvfs(store.c_str(), &vfs) != 0) return true;
  const uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return free >= bytes && free - bytes >= reserve(store);
}

std::filesystem::path dir(const std::filesystem::path& chain_path) {
  std::filesystem::path parent = chain_path.parent_path();
  // A bare file name lives in the working directory; "nft" names the same place as "./nft".
  return parent.empty() ? std::filesystem::path("nft") : parent / "nft";
}

Status ensure_dir(const std::filesystem::path& store) { return fsutil::create_dirs(store); }

bool is_hash(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Result<NftInfo> ingest(const std::filesystem::path& store, ByteView image) {
  if (image.size() < 4 || image[0] != 0xFF || image[1] != 0xD8) return fail("Not a JPEG.");
  if (image.size() > kMaxBytes) return fail("JPEG too large (max 300 KB).");
  uint32_t width = 0, height = 0;
  switch (decode_jpeg(image.data(), image.size(), &width, &height)) {
    case Decoded::kFailed:
      return fail("JPEG could not be decoded.");
    case Decoded::kEmpty:
      return fail("Empty image.");
    case Decoded::kTooLarge:
      return fail("Image larger than 512\u00D7512.");
    case Decoded::kOk:
      break;
  }

  NftInfo info;
  info.id = hashing::h32(image);
  info.hash = hex::encode(info.id);
  info.bytes = image.size();
  info.width = width;
  info.height = height;

  if (auto s = ensure_dir(store); !s) return std::unexpected(s.error());
  std::filesystem::path final_path = store / file_name(info.hash);
  // Images are never replaced: the same hash means the same bytes.
  if (regular_file_at(final_path)) return info;
  if (list_hex(store).size() >= kMaxImages || !has_room(store, image.size())) {
    return fail("NFT store is full.");
  }
  // A private temporary name per writer: two writers of one image sharing a temporary file
  // could rename it into place while the other is still rewriting it. The data is on disk
  // before the rename, so a crash cannot leave an empty file under the final name, which
  // later uploads would take as stored.
  if (auto s = fsutil::write_atomic(final_path, image); !s) return std::unexpected(s.error());
  return info;
}

Result<Bytes> read(const std::filesystem::path& store, std::string_view hash) {
  if (!is_hash(hash)) return fail("Bad NFT hash.");
  auto data = fsutil::read_file(store / file_name(hash));
  if (!data) return fail("NFT image not found.");
  return std::move(*data);
}

bool exists(const std::filesystem::path& store, std::string_view hash) {
  return is_hash(hash) && regular_file_at(store / file_name(hash));
}

std::vector<std::string> list_hex(const std::filesystem::path& store) {
  std::vector<std::string> out;
  DIR* d = ::opendir(store.c_str());
  if (d == nullptr) return out;
  // The directory listing is the index; temporary and foreign names do not match.
  while (const dirent* e = ::readdir(d)) {
    std::string_view name(e->d_name);
    if (name.size() == kNameLen && name.ends_with(kExt) && is_hash(name.substr(0, 64))) {
      out.emplace_back(name.substr(0, 64));
    }
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

Result<std::pair<Hash32, std::string>> parse_extra(ByteView extra) {
  if (extra.size() < 33) return fail("NFT extra too short.");
  ByteView owner_bytes = extra.subspan(32);
  if (!text::is_utf8(owner_bytes)) return fail("NFT address not utf-8.");
  std::string_view raw(reinterpret_cast<const char*>(owner_bytes.data()), owner_bytes.size());
  std::string owner = text::lower(text::trim(raw));
  if (owner.empty()) return fail("NFT needs an owner address.");
  if (auto key = crypto::decode_address(owner); !key) return std::unexpected(key.error());
  Hash32 id;
  std::copy_n(extra.begin(), 32, id.begin());
  return std::pair{id, std::move(owner)};
}

}  // namespace nft
