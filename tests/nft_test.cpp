#include "ledger/nft.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "core/crypto.h"
#include "core/hex.h"
#include "jpeg.h"
#include "jpeg_frames.h"
#include "proc.h"

namespace fs = std::filesystem;

namespace {

using proc::TempDir;

void write_raw(const fs::path& p, ByteView data) {
  std::ofstream(p, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Grows a JPEG to exactly `total` bytes with comment segments after the start marker; the
// decoder skips them, so the image stays valid.
Bytes pad_to(Bytes jpeg, size_t total) {
  size_t extra = total - jpeg.size();
  Bytes segments;
  while (extra > 0) {
    size_t seg = std::min<size_t>(extra, 4 + 65533);
    if (extra - seg > 0 && extra - seg < 4) seg -= 4;
    size_t len = seg - 2;
    segments.insert(segments.end(),
                    {0xFF, 0xFE, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len & 0xFF)});
    segments.insert(segments.end(), seg - 4, 'c');
    extra -= seg;
  }
  jpeg.insert(jpeg.begin() + 2, segments.begin(), segments.end());
  return jpeg;
}

// Rewrites the frame header's declared height and width.
Bytes with_size(Bytes jpeg, uint16_t width, uint16_t height) {
  size_t pos = 2;
  while (pos + 9 < jpeg.size()) {
    uint8_t marker = jpeg[pos + 1];
    size_t len = (size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3];
    if (marker >= 0xC0 && marker <= 0xC2) {
      jpeg[pos + 5] = static_cast<uint8_t>(height >> 8);
      jpeg[pos + 6] = static_cast<uint8_t>(height);
      jpeg[pos + 7] = static_cast<uint8_t>(width >> 8);
      jpeg[pos + 8] = static_cast<uint8_t>(width);
      return jpeg;
    }
    pos += 2 + len;
  }
  ADD_FAILURE() << "no frame header";
  return jpeg;
}

std::string fake_hash(size_t i) {
  char buf[65];
  std::snprintf(buf, sizeof buf, "%064zx", i);
  return buf;
}

class Nft : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { crypto::init(); }
  TempDir tmp;
  fs::path store = tmp.path() / "data" / "nft";
};

TEST_F(Nft, DirIsBesideTheChainFile) {
  struct Case {
    const char* chain;
    const char* dir;
  } cases[] = {
      {"/data/quv.chain", "/data/nft"},
      {"quv.chain", "nft"},
      {"a/b/main", "a/b/nft"},
  };
  for (const auto& c : cases) EXPECT_EQ(nft::dir(c.chain).string(), c.dir) << c.chain;
}

TEST_F(Nft, IngestChecksInOrder) {
  Bytes good = testjpeg::make(16, 8);
  Bytes garbage_tail = {0xFF, 0xD8, 0xFF};
  garbage_tail.insert(garbage_tail.end(), 100, 0x42);
  Bytes huge_garbage = {0xFF, 0xD8, 0xFF};
  huge_garbage.resize(300001, 0x42);
  Bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0};
  // Width and height are read from a frame that is otherwise sound.
  Bytes too_wide = testjpeg::make(513, 1);
  Bytes too_tall = testjpeg::make(1, 513);

  struct Case {
    const char* name;
    Bytes bytes;
    std::string error;
  } cases[] = {
      {"empty", {}, "Not a JPEG."},
      {"three bytes of a start marker", {0xFF, 0xD8, 0xFF}, "Not a JPEG."},
      {"png", png, "Not a JPEG."},
      {"wrong second byte", {0xFF, 0xD9, 0xFF, 0xE0, 0, 0}, "Not a JPEG."},
      {"too large is checked before decoding", huge_garbage, "JPEG too large (max 300 KB)."},
      {"too large even if valid", pad_to(good, 300001), "JPEG too large (max 300 KB)."},
      {"start marker then garbage", garbage_tail, "JPEG could not be decoded."},
      {"truncated scan", truncated, "JPEG could not be decoded."},
      {"zero height", with_size(good, 16, 0), "Empty image."},
      {"zero width", with_size(good, 0, 8), "Empty image."},
      {"513 x 1", too_wide, "Image larger than 512\u00D7512."},
      {"1 x 513", too_tall, "Image larger than 512\u00D7512."},
      // The declared size alone decides, even for a frame whose data is broken.
      {"declared size beyond the limit, broken data",
       with_size(testjpeg::make(8, 8, 0, true), 60000, 60000), "Image larger than 512\u00D7512."},
  };
  for (const auto& c : cases) {
    auto r = nft::ingest(store, c.bytes);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().to_string(), c.error) << c.name;
  }
  // Refused uploads create nothing, not even the directory.
  EXPECT_FALSE(fs::exists(store));
}

// Tiny files that declare huge frames must be refused from their header: decoding them first
// would cost seconds of CPU or hundreds of megabytes. The same frames within bounds decode,
// so the refusal is for the size and not for broken data.
TEST_F(Nft, DeclaredSizeDecidesBeforeDecoding) {
  using testjpeg::Frame;
  const std::string too_large = "Image larger than 512\u00D7512.";
  struct Case {
    const char* name;
    Frame frame;
    std::string error;  // empty: accepted
  } cases[] = {
      {"arithmetic 65500 x 65500", {testjpeg::kArithmetic, 65500, 65500, 1, 1, 0}, too_large},
      {"arithmetic colour 65500 x 65500",
       {testjpeg::kArithmetic, 65500, 65500, 3, 1, 0},
       too_large},
      {"progressive 16000 x 16000", {testjpeg::kProgressive, 16000, 16000, 1, 1, 64}, too_large},
      {"progressive colour 16000 x 16000",
       {testjpeg::kProgressive, 16000, 16000, 3, 1, 64},
       too_large},
      {"arithmetic progressive 65500 x 65500",
       {testjpeg::kArithmeticProgressive, 65500, 65500, 4, 1, 0},
       too_large},
      {"baseline 513 x 512", {testjpeg::kBaseline, 513, 512, 1, 1, 0}, too_large},
      {"arithmetic 512 x 513", {testjpeg::kArithmetic, 512, 513, 3, 1, 0}, too_large},
      {"arithmetic zero height", {testjpeg::kArithmetic, 16, 0, 1, 1, 0}, "Empty image."},
      {"baseline 512 x 512", {testjpeg::kBaseline, 512, 512, 3, 1, 0}, ""},
      {"arithmetic 512 x 512", {testjpeg::kArithmetic, 512, 512, 3, 1, 0}, ""},
      {"progressive 512 x 512", {testjpeg::kProgressive, 512, 512, 3, 1, 0}, ""},
      {"arithmetic progressive 512 x 512",
       {testjpeg::kArithmeticProgressive, 512, 512, 4, 1, 0},
       ""},
      // Every scan of a progressive image passes over its blocks again: eight visits of a
      // block and four decodings of each coefficient are allowed, in all.
      {"8 DC scans", {testjpeg::kArithmeticProgressive, 64, 64, 4, 8, 0}, ""},
      {"9 DC scans",
       {testjpeg::kArithmeticProgressive, 64, 64, 4, 9, 0},
       "JPEG could not be decoded."},
      {"9 Huffman DC scans",
       {testjpeg::kProgressive, 64, 64, 1, 9, 0},
       "JPEG could not be decoded."},
      {"thousands of DC scans of one block",
       {testjpeg::kArithmeticProgressive, 8, 8, 1, 20000, 0},
       "JPEG could not be decoded."},
      {"4 AC scans", {testjpeg::kArithmeticProgressive, 64, 64, 1, 1, 0, 4}, ""},
      {"5 AC scans",
       {testjpeg::kArithmeticProgressive, 64, 64, 1, 1, 0, 5},
       "JPEG could not be decoded."},
      {"5 Huffman AC scans",
       {testjpeg::kProgressive, 64, 64, 1, 1, 0, 5},
       "JPEG could not be decoded."},
      // A colour image has three times the coefficients: the same AC scans of its first
      // component stay within them.
      {"5 AC scans of one of three components", {testjpeg::kProgressive, 64, 64, 3, 1, 0, 5}, ""},
  };
  for (const auto& c : cases) {
    Bytes jpeg = testjpeg::frame(c.frame);
    ASSERT_LE(jpeg.size(), nft::kMaxBytes) << c.name;
    auto r = nft::ingest(store, jpeg);
    if (c.error.empty()) {
      ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().to_string();
      EXPECT_EQ(r->width, c.frame.width) << c.name;
      EXPECT_EQ(r->height, c.frame.height) << c.name;
    } else {
      ASSERT_FALSE(r.has_value()) << c.name;
      EXPECT_EQ(r.error().to_string(), c.error) << c.name;
    }
  }
}

// Uploads check their images side by side: a slow check of one image does not hold up
// another, and each gets its own answer.
TEST_F(Nft, UploadsAreCheckedSideBySide) {
  std::vector<Bytes> images;
  for (uint32_t i = 0; i < 8; ++i) images.push_back(testjpeg::make(64 + i, 64, i));
  Bytes huge = testjpeg::frame({testjpeg::kArithmetic, 65500, 65500, 3, 1, 0});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < images.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        auto bad = nft::ingest(store, huge);
        if (bad || bad.error().to_string() != "Image larger than 512\u00D7512.") ++wrong;
        auto good = nft::ingest(store, images[t]);
        if (!good || good->width != 64 + t) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(nft::list_hex(store).size(), images.size());
}

TEST_F(Nft, IngestStoresTheUploadUnderItsHash) {
  struct Case {
    const char* name;
    Bytes bytes;
    uint32_t width, height;
  } cases[] = {
      {"small", testjpeg::make(16, 8), 16, 8},
      {"512 x 512", testjpeg::make(512, 512, 1), 512, 512},
      {"progressive", testjpeg::make(40, 30, 2, true), 40, 30},
      {"exactly 300000 bytes", pad_to(testjpeg::make(20, 20, 3), 300000), 20, 20},
      {"1 x 1", testjpeg::make(1, 1, 4), 1, 1},
  };
  std::vector<std::string> stored;
  for (const auto& c : cases) {
    auto r = nft::ingest(store, c.bytes);
    ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().to_string();
    Hash32 id = hashing::h32(c.bytes);
    EXPECT_EQ(*r, (NftInfo{hex::encode(id), id, c.bytes.size(), c.width, c.height})) << c.name;
    EXPECT_EQ(nft::read(store, r->hash).value(), c.bytes) << c.name;
    EXPECT_TRUE(nft::exists(store, r->hash)) << c.name;
    stored.push_back(r->hash);
  }
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(nft::list_hex(store), stored);
  // Only the final files: no temporary file stays behind.
  std::vector<std::string> files;
  for (const auto& h : stored) files.push_back(h + ".jpg");
  EXPECT_EQ(names_in(store), files);
}

TEST_F(Nft, IngestTwiceIsHarmless) {
  Bytes jpeg = testjpeg::make(32, 32, 9);
  auto first = nft::ingest(store, jpeg);
  auto second = nft::ingest(store, jpeg);
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(*first, *second);
  EXPECT_EQ(names_in(store), std::vector<std::string>{first->hash + ".jpg"});
}

TEST_F(Nft, IngestReportsADirectoryItCannotMake) {
  write_raw(tmp.path() / "file", bytes::of("x"));
  auto r = nft::ingest(tmp.path() / "file" / "nft", testjpeg::make(4, 4));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "Not a directory (os error 20)");
  auto e = nft::ensure_dir(tmp.path() / "file");
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().to_string(), "File exists (os error 17)");
}

TEST_F(Nft, FullStoreRefusesNewImagesButNotStoredOnes) {
  Bytes kept = testjpeg::make(8, 8, 1);
  ASSERT_TRUE(nft::ingest(store, kept).has_value());
  for (size_t i = 0; i < nft::kMaxImages - 1; ++i) {
    std::ofstream(store / (fake_hash(i) + ".jpg")).put('x');
  }
  ASSERT_EQ(nft::list_hex(store).size(), nft::kMaxImages);
  auto fresh = nft::ingest(store, testjpeg::make(8, 8, 2));
  ASSERT_FALSE(fresh.has_value());
  EXPECT_EQ(fresh.error().to_string(), "NFT store is full.");
  EXPECT_TRUE(nft::ingest(store, kept).has_value());
  EXPECT_EQ(nft::list_hex(store).size(), nft::kMaxImages);
}

TEST_F(Nft, ListHexKeepsOnlyImageNames) {
  EXPECT_TRUE(nft::list_hex(store).empty());  // not there yet
  ASSERT_TRUE(nft::ensure_dir(store).has_value());
  std::string a = fake_hash(0xa), b = fake_hash(0xb), c = fake_hash(0xc);
  for (const std::string& name : {b + ".jpg", a + ".jpg", a + ".JPG", "A" + a.substr(1) + ".jpg",
                                  "." + c + ".jpg.part", c + ".jpg.part", c + ".jpeg",
                                  a.substr(1) + ".jpg", a + "0.jpg", std::string("notes.txt")}) {
    std::ofstream(store / name).put('x');
  }
  fs::create_directory(store / (c + ".jpg"));  // a directory named like an image is listed
  EXPECT_EQ(nft::list_hex(store), (std::vector<std::string>{a, b, c}));
  // ...but neither exists nor reads as an image.
  EXPECT_FALSE(nft::exists(store, c));
  EXPECT_EQ(nft::read(store, c).error().to_string(), "NFT image not found.");
}

TEST_F(Nft, ReadAndExistsCheckTheHash) {
  Bytes jpeg = testjpeg::make(8, 8, 5);
  std::string hash = nft::ingest(store, jpeg).value().hash;
  std::string upper = hash;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
  struct Case {
    std::string hash;
    std::string error;
  } cases[] = {
      {upper, "Bad NFT hash."},
      {hash.substr(1), "Bad NFT hash."},
      {hash + "0", "Bad NFT hash."},
      {"", "Bad NFT hash."},
      {"../" + hash.substr(3), "Bad NFT hash."},
      {std::string(64, 'g'), "Bad NFT hash."},
      {fake_hash(1), "NFT image not found."},
  };
  for (const auto& c : cases) {
    auto r = nft::read(store, c.hash);
    ASSERT_FALSE(r.has_value()) << c.hash;
    EXPECT_EQ(r.error().to_string(), c.error) << c.hash;
    EXPECT_FALSE(nft::exists(store, c.hash)) << c.hash;
  }
  EXPECT_EQ(nft::read(store, hash).value(), jpeg);
  // A symbolic link to a regular file counts as stored.
  fs::create_symlink(store / (hash + ".jpg"), store / (fake_hash(2) + ".jpg"));
  EXPECT_TRUE(nft::exists(store, fake_hash(2)));
}

TEST_F(Nft, ConcurrentWritersNeverShowAPartialImage) {
  Bytes jpeg = pad_to(testjpeg::make(64, 64, 6), 250000);
  std::string hash = hex::encode(hashing::h32(jpeg));
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!done.load()) {
      auto r = nft::read(store, hash);
      if (r && *r != jpeg) ++bad;
    }
  });
  // Both writers store the same image over and over; removing it now and then makes them
  // write it again while the other may be writing too.
  auto writer = [&](int rounds) {
    for (int i = 0; i < rounds; ++i) {
      if (!nft::ingest(store, jpeg)) ++bad;
      if (i % 2 == 0) {
        std::error_code ec;
        fs::remove(store / (hash + ".jpg"), ec);
      }
    }
  };
  std::thread w1(writer, 100), w2(writer, 100);
  w1.join();
  w2.join();
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(Nft, ParseExtra) {
  Key32 key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 3);
  std::string address = crypto::encode_address(key);
  std::string upper = address;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
  Hash32 id{};
  id.fill(0x5A);
  auto extra = [&](std::string_view owner) {
    Bytes b(id.begin(), id.end());
    b.insert(b.end(), owner.begin(), owner.end());
    return b;
  };

  struct Bad {
    const char* name;
    Bytes extra;
    std::string error;
  } bad[] = {
      {"empty", {}, "NFT extra too short."},
      {"id only", Bytes(id.begin(), id.end()), "NFT extra too short."},
      {"owner not UTF-8", extra("quv1\xFF"), "NFT address not utf-8."},
      {"blank owner", extra(" \t\n"), "NFT needs an owner address."},
      {"unicode blank owner", extra("\xC2\xA0\xE3\x80\x80"), "NFT needs an owner address."},
      {"not an address", extra("nobody"), "Invalid Q\u00DAV address."},
      {"address cut short", extra(address.substr(0, 58)), "Invalid Q\u00DAV address."},
  };
  for (const auto& c : bad) {
    auto r = nft::parse_extra(c.extra);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().to_string(), c.error) << c.name;
  }

  struct Good {
    std::string owner;
    std::string want;
  } good[] = {
      {address, address},
      {"  " + upper + " \n", address},
      // Separators inside the address are kept in the owner text.
      {upper.substr(0, 10) + "-" + upper.substr(10),
       address.substr(0, 10) + "-" + address.substr(10)},
  };
  for (const auto& c : good) {
    auto r = nft::parse_extra(extra(c.owner));
    ASSERT_TRUE(r.has_value()) << c.owner << ": " << r.error().to_string();
    EXPECT_EQ(r->first, id);
    EXPECT_EQ(r->second, c.want);
  }
}

}  // namespace
