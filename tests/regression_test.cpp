// regression_test.cpp — pins every compressed byte: the size and SHA-256 of the file the program writes for a fixed
// set of inputs of every mode. A row that changes means the format changed, which no change of speed or structure
// may do. Inputs are generated here, or taken from Debian packages (a row whose packaged input is not the one
// recorded is skipped with a message: the package changed, not qarn).
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "helpers.h"
#include "util.h"

using namespace qarn;

namespace fs = std::filesystem;

namespace {

bytes long_token(size_t n) { return bytes(n, 'x'); }

bytes program_output(const std::string& command) {
  bytes out;
  if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
    uint8_t buf[65536];
    for (size_t k; (k = fread(buf, 1, sizeof buf, p)) > 0;) out.insert(out.end(), buf, buf + k);
    pclose(p);
  }
  return out;
}

bytes bible() { return program_output("bible -f 'Gen1:1-Rev22:21'"); }

bytes photo(const std::string& png) {
  if (!fs::exists(png) || !fs::exists("/usr/bin/convert")) return {};
  return program_output("/usr/bin/convert '" + png + "' -depth 8 ppm:-");
}

bytes file(const std::string& p) { return fs::exists(p) ? read_bytes(fs::canonical(p)) : bytes{}; }

const std::string flower = "/usr/share/libjxl-testdata/jxl/flower/flower.png";
const std::string bliznaca = "/usr/share/libjxl-testdata/external/wesaturate/500px/u76c0g_bliznaca_srgb8.png";
const std::string keong = "/usr/share/libjxl-testdata/external/wesaturate/500px/cvo9xd_keong_macan_srgb8.png";

struct input {
  std::string name;  // the input's file name, which picks the mode
  std::function<bytes()> make;
  bool packaged;     // from a Debian package: the row pins the input's SHA-256 as well
};

bytes with_header(const std::string& head, const bytes& samples) {
  bytes b = to_bytes(head);
  b.insert(b.end(), samples.begin(), samples.end());
  return b;
}

bytes samples_of(const bytes& pnm) {
  size_t lines = 0, i = 0;
  while (lines < 3) lines += pnm[i++] == '\n';
  return bytes(pnm.begin() + static_cast<long>(i), pnm.end());
}

const std::vector<input> inputs = {
    // stored mode
    {"empty.bin", [] { return bytes{}; }, false},
    {"one.bin", [] { return bytes{42}; }, false},
    {"random.bin", [] { return random_bytes(70000, 1); }, false},
    {"prose.bin", [] { return prose(30000, 300, 2); }, false},
    // text mode, and its fallbacks to stored and mixed mode
    {"empty.txt", [] { return bytes{}; }, false},
    {"short.txt", [] { return to_bytes("a few words\n"); }, false},
    {"noise.txt", [] { return random_bytes(30000, 3); }, false},
    {"prose.txt", [] { return prose(400000, 2000, 4); }, false},
    {"open-end.txt", [] { return prose(200000, 2000, 5, "end"); }, false},
    {"vocabulary.txt", [] { return prose(3000000, 200000, 6); }, false},
    {"one-token.txt", [] { return long_token(50000000); }, false},
    // image mode, and its fallbacks
    {"ramp.pnm", [] { return picture(300, 200, 7); }, false},
    {"grey.pnm", [] { return picture(256, 160, 8, true); }, false},
    {"column.pnm", [] { return picture(1, 20000, 9); }, false},
    {"row.pnm", [] { return picture(20000, 1, 10); }, false},
    {"noisy.pnm", [] { return picture(120, 80, 11, false, 256); }, false},
    {"large.pnm", [] { return picture(1500, 1000, 12); }, false},
    {"comment.pnm",
     [] { return with_header("P6\n# made by hand\n300 200\n255\n", samples_of(picture(300, 200, 7))); }, false},
    {"maxval.pnm", [] { return with_header("P6\n300 200\n100\n", samples_of(picture(300, 200, 7))); }, false},
    // mixed mode (two workers from a megabyte on), and its fallback to stored mode
    {"empty.dat", [] { return bytes{}; }, false},
    {"small.dat", [] { return binary(40000, 13); }, false},
    {"records.dat", [] { return records(60000, 13); }, false},
    {"binary.dat", [] { return binary(300000, 14); }, false},
    {"large.dat", [] { return binary(3000000, 15); }, false},
    {"random.dat", [] { return random_bytes(50000, 16); }, false},
    {"prose.dat", [] { return prose(500000, 2000, 17); }, false},
    // real data from Debian packages
    {"bible.txt", bible, true},
    {"bible.dat", bible, true},
    {"flower.pnm", [] { return photo(flower); }, true},
    {"bliznaca.pnm", [] { return photo(bliznaca); }, true},
    {"keong.pnm", [] { return photo(keong); }, true},
    {"flower.dat", [] { return photo(flower); }, true},
    {"ls.dat", [] { return file("/usr/bin/ls"); }, true},
};

// ---- The table. ----

struct pinned {
  const char* name;
  const char* input_sha256;  // packaged inputs only
  uint32_t mode;             // the mode number the file starts with
  uint64_t size;
  const char* sha256;
};

const pinned table[] = {
    {"empty.bin", nullptr, 0, 4, "df3f619804a92fdb4057192dc43dd748ea778adc52bc498ce80524c014b81119"},
    {"one.bin", nullptr, 0, 5, "c9fbac009d8eda5d25c9aabb2b6794bc9a801afd17adef7878c6539204eb0f82"},
    {"random.bin", nullptr, 0, 70004, "0e42b46392fd8151b23136d3f97924160130037269d760860976df38a2feb7cc"},
    {"prose.bin", nullptr, 0, 30004, "4173db8e051d0d6114f841a9c3638ed6ca726fbbaa9cde5f56c3231754c87807"},
    {"empty.txt", nullptr, 0, 4, "df3f619804a92fdb4057192dc43dd748ea778adc52bc498ce80524c014b81119"},
    {"short.txt", nullptr, 0, 16, "a22603a95366a1acd9ff44513dd63f4ebd2c25f0ee134be4ed3e940fd42613ba"},
    {"noise.txt", nullptr, 0, 30004, "c27dd98b2c15d7a709d22ed62879b2cc9daf7bdb45420ad363a13097ab006747"},
    {"prose.txt", nullptr, 1, 139778, "5d4009adcf0c64806a0ba89d8bf5fd9f2c9abfb29a7dd1a3bb349b9dc71da6ce"},
    {"open-end.txt", nullptr, 1, 78193, "bcb74549648d55c4065e025b5aeddf761c911f5938fad94f62a89a74ad3a4f82"},
    {"vocabulary.txt", nullptr, 1, 1434566, "dd141e7ec9917e6766f01782b6d4656b38b4736a6f9b21796a328c69bbf8b7cc"},
    {"one-token.txt", nullptr, 3, 1793, "50b140dcb5fd869d395738aece6dff7b2ba735666314ea5088f1c0eb7f3b9af1"},
    {"ramp.pnm", nullptr, 2, 78716, "7f9f9a999c08f07158d8961f9fcdb8f2212fffaaddfd264479b14da5a5881720"},
    {"grey.pnm", nullptr, 2, 19806, "a3f3153090ef16e3ffcf5492a63cd9a3015eaa7e0a76a59b0b5a7930f59fed5d"},
    {"column.pnm", nullptr, 2, 25058, "bd7cb096a85594e7280a6547146722f5ff9a344d567138bc66449058ef3accd6"},
    {"row.pnm", nullptr, 2, 46200, "34b79d1d9c6e34664d46239978b274c5563bdc1edf244e60ba5de7f0ae42b60e"},
    {"noisy.pnm", nullptr, 0, 28818, "d9ed48d2c5533a6ab8d3f2d481222256a6846a0446076b3d0686997483d987fe"},
    {"large.pnm", nullptr, 2, 1993674, "27d612a42eb23b67146d9eab536bb2e5f66ce5bfa63e7840f835bcb02acb1daa"},
    {"comment.pnm", nullptr, 0, 180034, "a2e20ec88ed7e4b9f6918f47e7b4fa9a88f1869a27f6c80f590e3b615610e161"},
    {"maxval.pnm", nullptr, 0, 180019, "7052e0ea7598b4e12ebc8387b60197158a57c69f15a4185ee69d7d22db39c22a"},
    {"empty.dat", nullptr, 0, 4, "df3f619804a92fdb4057192dc43dd748ea778adc52bc498ce80524c014b81119"},
    {"small.dat", nullptr, 0, 40004, "a3f09bee8687a9892efc4ce38424d67033080b2f2bc56d1ed13e627cda82e187"},
    {"records.dat", nullptr, 3, 23388, "7af4e11493adae789376d232b66a30cf4deac7f75b592e5a7a2d1b8f9aa8d45f"},
    {"binary.dat", nullptr, 3, 247390, "5b9d09da57e601203300d3fd829ff251f69bdbdacaba1262bdb5a91651e5e2e7"},
    {"large.dat", nullptr, 3, 1627707, "3156608cfbcd7973cc55eacd8d32baaee46f5699ea3d16763538b22e8858d4b2"},
    {"random.dat", nullptr, 0, 50004, "605087a3fb4f1613ce131213e0ce6dd23692d348af550d758a5bf812fffa8abe"},
    {"prose.dat", nullptr, 3, 200230, "776c03e773e0dfe6a7d7ab5a81f564c59f2853260622372db53a04a200aa6067"},
    {"bible.txt", "cd45f0c9cedab8e4439bd6486c8952c77cc8b0ecc5d1f6ae3513f2039f47229d", 1, 1266489,
     "e43464615c16ce8d12e9b85eaa4d6ef3be84c2c3c103b942b96f4614e265a500"},
    {"bible.dat", "cd45f0c9cedab8e4439bd6486c8952c77cc8b0ecc5d1f6ae3513f2039f47229d", 3, 1219703,
     "6f53b0078728350f1ee38c099665538f2205e47a16d27cb43fc00a297fecfa9a"},
    {"flower.pnm", "b134697d49b86668c188f8fb1dfd68f05f8d1a7bae7039f1fc60743b9ed4003f", 2, 3342541,
     "36186fc3ab1930c7cb7288b1933267a1381d5c01b2bd38713e35e02d963b6d8c"},
    {"bliznaca.pnm", "f6d5fa1946b72dff75492b1583fbede4376acda3b8b894da76dc30e0d5d4139e", 2, 302936,
     "6355162c301a4ba70e39aaceaaf31341f3734c788f558c85b4a5a09f9280cc05"},
    {"keong.pnm", "f66e5348f4436c69aa7a216b477012564487edc41f94bca481f3e77b55460a06", 2, 310509,
     "d490ae994df128f1c82f6e378eda16aba7eef3a6f31a8fdc1b8c1ffe6f50e0e4"},
    {"flower.dat", "b134697d49b86668c188f8fb1dfd68f05f8d1a7bae7039f1fc60743b9ed4003f", 3, 7426266,
     "9c4dddd1f6ed4f513a2c875df6f535f435682981dec7912abe46815225eaf5e3"},
    {"ls.dat", "cb30d69b24245bf2ecdc9e7f53bbad19159999970b6d82c0c00c7d32d9e37aa4", 3, 130740,
     "a2b3bf4c7c7cd9f55fd35a4b33abd3c4f489299d1678a1395cd90e9f2aed6a78"},
};

const pinned* row_of(const std::string& name) {
  for (const pinned& p : table)
    if (name == p.name) return &p;
  return nullptr;
}

std::string row_text(const std::string& name, const std::string& input_sha, const bytes& file) {
  return "{\"" + name + "\", " + (input_sha.empty() ? std::string("nullptr") : "\"" + input_sha + "\"") + ", " +
         std::to_string(file.size() >= 4 ? file[0] : 99) + ", " + std::to_string(file.size()) + ", \"" +
         sha256_hex(file) + "\"},";
}

class regression_table : public scratch_test {};

TEST_F(regression_table, every_compressed_file_is_unchanged) {
  std::string skipped;
  for (const input& in : inputs) {
    SCOPED_TRACE(in.name);
    const bytes data = in.make();
    const std::string input_sha = in.packaged ? sha256_hex(data) : "";
    const pinned* row = row_of(in.name);
    if (in.packaged && data.empty()) {
      skipped += "\n  " + in.name + ": its package is not installed";
      continue;
    }
    if (row && in.packaged && input_sha != row->input_sha256) {
      skipped += "\n  " + in.name + ": the packaged input changed (SHA-256 " + input_sha + ")";
      continue;
    }
    const fs::path src = path(in.name), packed = path(in.name + ".q"), back = path(in.name + ".back");
    write_bytes(src, data);
    const run_result c = run_qarn({"-c", src, packed});
    ASSERT_EQ(c.status, 0) << c.output;
    const bytes file = read_bytes(packed);
    const std::string sha = sha256_hex(file);
    if (!row) {
      ADD_FAILURE() << "no row in the table; the file is\n" << row_text(in.name, input_sha, file);
    } else {
      const uint32_t mode = file.size() >= 4 ? get_u32(file.data()) : ~0u;
      EXPECT_EQ(mode, row->mode) << in.name << " is now written in another mode";
      EXPECT_EQ(file.size(), row->size) << "the compressed file of " << in.name << " (mode " << row->mode
                                        << ") changed size";
      EXPECT_EQ(sha, row->sha256) << "the compressed file of " << in.name << " (mode " << row->mode
                                  << ") changed; it is now\n" << row_text(in.name, input_sha, file);
    }
    const run_result d = run_qarn({"-d", packed, back});
    ASSERT_EQ(d.status, 0) << d.output;
    EXPECT_BYTES_EQ(data, read_bytes(back));
    fs::remove(src);
    fs::remove(packed);
    fs::remove(back);
  }
  if (!skipped.empty()) std::printf("regression rows skipped:%s\n", skipped.c_str());
}

}  // namespace
