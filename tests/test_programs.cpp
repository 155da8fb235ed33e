// The programs end to end: each case runs in a fresh folder beside shared inputs (../name) and
// pins its output (long texts by a SHA-256 prefix), exit status and folder. Bppquest's cases run
// with the next trial coded ahead on a second thread and without: not a byte may change.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "coder/ZALextension.h"
#include "entropy/CodificadorAritmetico.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
// A command line's words: a list, or one line split at blanks ('quotes' keep a word's blanks).
struct Args : std::vector<std::string> {
  Args(std::initializer_list<std::string> words) : vector(words) {}
  Args(const char* line) {
    std::istringstream in(line);
    for (std::string w; in >> std::quoted(w, '\'');) push_back(w);
  }
};
constexpr auto npos = std::string::npos;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;  // no address-space limit can be set under it
#else
constexpr bool kAsan = false;
#endif

struct Outcome {
  std::string out, err;  // err: what a sanitizer would report
  int status = -1;
};
struct Limits {
  long memory = 0, disk = 0;  // address space in KiB, largest file in 512-byte blocks (a full disk); 0: none
  const char* ahead = "";     // ZAL_BPPQUEST_AHEAD
  const char* shell = "";     // commands run first in the folder
};

std::string Q(const std::string& word) {
  std::string r = "'";
  for (char c : word) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

const zaltest::TempDir& Inputs();

// A write past the disk limit then fails instead of killing the program.
Outcome Exec(const Args& args, const std::string& dir, const Limits& lim = {}) {
  std::ostringstream line;
  auto limit = [](long n) { return n ? std::to_string(n) : std::string("unlimited"); };
  line << "cd " << Q(dir) << " && trap '' XFSZ && ulimit -v " << limit(lim.memory) << " && ulimit -f " << limit(lim.disk);
  if (*lim.shell) line << " && " << lim.shell;
  line << " && ZAL_BPPQUEST_AHEAD=" << lim.ahead << " exec " << Q(zaltest::BinDir() + "/" + args[0]);
  for (size_t k = 1; k < args.size(); ++k) line << " " << Q(args[k]);
  const std::string err = Inputs().File("stderr");
  Outcome r;
  line << " 2>" << Q(err);
  FILE* p = popen(line.str().c_str(), "r");
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  const auto bytes = zaltest::ReadFile(err);
  r.err.assign(bytes.begin(), bytes.end());
  return r;
}

// Timing figures differ from run to run: each becomes N.
std::string Untimed(const std::string& text) {
  static const std::regex cycles(R"((\(in cycles\):[^\n]*)[^\n]{9})"), seconds(R"((\(in seconds\):[^\n]* )[^\n ]*)");
  return std::regex_replace(std::regex_replace(text, cycles, "$1N"), seconds, "$1N");
}

struct Case {
  Args args;  // the program, then its arguments
  std::string out;  // exact standard output, or "sha256:" and a prefix of its hash
  int status = 0;
  // What the folder holds afterwards, and nothing else: "name" (exists), "name#N" (N bytes),
  // "name=other" (same bytes), "name@hex" (prefix of its SHA-256), "name%640" (its permissions),
  // "~name" (still a link), "!name" (absent).
  std::string files = "";
  Limits lim = {};
  std::string before = "";  // made first: "name" (older content) or "name>target" (a link)
  std::string err = "";     // exact standard error
};

std::string Sha(const std::string& text, size_t n = 16) {
  return zaltest::Sha256Hex(std::vector<uint8_t>(text.begin(), text.end())).substr(0, n);
}

void Check(const Case& c, const std::string& dir, const Outcome& r) {
  const std::string out = Untimed(r.out);
  EXPECT_EQ(c.out.rfind("sha256:", 0) == 0 ? "sha256:" + Sha(out, c.out.size() - 7) : out, c.out) << out;
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err);
  std::set<std::string> listed, present;
  std::istringstream before(c.before), in(c.files);
  for (std::string f; before >> f;) listed.insert(f.substr(0, f.find('>')));
  for (std::string f; in >> f;) {
    const size_t k = f.find_first_of("=#@%"), from = f[0] == '!' || f[0] == '~';
    const std::string name = f.substr(from, k == npos ? npos : k - from), path = dir + "/" + name;
    if (f[0] == '!') {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << f;
      listed.erase(name);
      continue;
    }
    listed.insert(name);
    EXPECT_TRUE(f[0] == '~' ? fs::is_symlink(path) : fs::is_regular_file(path)) << f;
    if (k == npos) continue;
    const auto bytes = zaltest::ReadFile(path);
    const std::string text(bytes.begin(), bytes.end()), want = f.substr(k + 1);
    EXPECT_TRUE(f[k] != '=' || bytes == zaltest::ReadFile(dir + "/" + want)) << f;
    std::ostringstream mode;
    mode << std::oct << int(fs::status(path).permissions());
    EXPECT_EQ(f[k] == '#'   ? std::to_string(bytes.size())
              : f[k] == '@' ? Sha(text, want.size())
              : f[k] == '%' ? mode.str()
                            : want,
              want) << f;
  }
  for (const auto& e : fs::directory_iterator(dir)) present.insert(e.path().filename());
  EXPECT_EQ(present, listed);
}

// The shared inputs, made once.
const zaltest::TempDir& Inputs() {
  static const zaltest::TempDir dir;
  static const bool made = [](const zaltest::TempDir& d) {
    const std::string data = zaltest::TestDataDir() + "/";
    const auto wave = zaltest::ReadFile(data + "wave_128x128.pgm");           // 15-byte header
    const auto decoded = zaltest::ReadFile(data + "wave_q25_r2_l3.dec.pgm");  // 41-byte header
    zaltest::WriteFile(d.File("in.pgm"), wave);
    zaltest::WriteFile(d.File("in.raw"), std::vector<uint8_t>(wave.begin() + 15, wave.end()));
    zaltest::WriteFile(d.File("q25.zal"), zaltest::ReadFile(data + "wave_q25_r2_l3.zal"));
    zaltest::WriteFile(d.File("q25.pgm"), decoded);
    zaltest::WriteFile(d.File("q25.raw"), std::vector<uint8_t>(decoded.begin() + 41, decoded.end()));
    zaltest::WriteFile(d.File("def.zal"), zaltest::ReadFile(data + "wave_default.zal"));
    auto def = zaltest::ReadFile(data + "wave_default.zal");  // 3490 bytes
    zaltest::WriteFile(d.File("cut.zal"), std::vector<uint8_t>(def.begin(), def.begin() + 1000));
    ZALAnadeExtension(def, 96, 64);  // its true size: crop.pgm's
    zaltest::WriteFile(d.File("pad.zal"), def);
    def.back() ^= 1;
    zaltest::WriteFile(d.File("bad.zal"), def);
    // The wave as a colour PNG whose luma it is; the decoded wave as ZALdecod writes it.
    std::vector<uint8_t> rgb;
    for (auto b = wave.begin() + 15; b != wave.end(); ++b) rgb.insert(rgb.end(), 3, *b);
    zaltest::WritePng(d.File("rgb.png"), 128, 128, 8, 2, true, rgb);
    zaltest::Shell(zaltest::BinDir() + "/ZALdecod -i " + d.File("q25.zal") + " -o " + d.File("q25.png"));
    zaltest::WritePgm(d.File("w64.pgm"), zaltest::FlatImage(64, 128, 9));
    zaltest::WritePgm(d.File("h64.pgm"), zaltest::FlatImage(128, 64, 9));
    std::string crop = "P5\n96 64\n255\n";  // 96 x 64 of the wave: its rates are not exact in float
    for (int y = 0; y < 64; ++y) crop.append(wave.begin() + 15 + 128 * y, wave.begin() + 15 + 128 * y + 96);
    zaltest::WriteFile(d.File("crop.pgm"), crop);
    // Two bars; at rplanes 12 one coarsest coefficient (-8190.995) turns significant between q = 0.999999106 and 0.999999762.
    zaltest::Plane bars = zaltest::FlatImage(256, 256, 0);
    for (const auto& [x0, x1, y0, y1, v] : {std::array{17, 123, 55, 218, 201}, {15, 210, 151, 210, 248}})
      for (int y = y0; y < y1; ++y) std::fill(&bars.at(x0, y), &bars.at(x1, y), float(v));
    zaltest::WritePgm(d.File("bars.pgm"), bars);
    // Compressed headers without a body.
    for (const auto& [name, w, h, levels] : {std::tuple{"large.zal", 8176, 8176, 3}, {"side.zal", 8184, 8176, 3},
                                             {"levels.zal", 8176, 8176, 12}, {"short.zal", 1024, 1024, 5}}) {
      InicializaEscritura(d.File(name).c_str());
      for (const auto& [bits, value] : {std::pair{13, w}, {13, h}, {32, 0x3F800000}, {5, 2}, {4, levels}})
        CodificaBits(bits, value);
      for (int k = 0; k <= levels; ++k) CodificaBits(5, 3);
      FinalizaEscrituraFicheroDeBits();
    }
    for (const auto& [name, text] : {std::pair{"huge.pgm", "P5\n16384 16384\n255\n\x01\x02"}, {"wide.pgm", "P5\n65535 4096\n255\n"},
                                     {"many.pgm", "P5\n20000 20000\n255\nab"}, {"fits.pgm", "P5\n8064 8064\n255\n"}})
      zaltest::WriteFile(d.File(name), std::string(text));
    zaltest::WriteFile(d.File("small.pgm"), "P5\n32 32\n255\n" + std::string(1024, 'x'));
    zaltest::WritePgm(d.File("odd.pgm"), zaltest::SmoothImage(17, 9, 2));  // sizes for --pad
    zaltest::WriteFile(d.File("one.pgm"), "P5\n1 1\n255\n\x80");
    zaltest::WriteFile(d.File("wide.pgm"), "P5\n8065 1\n255\n" + std::string(8065, 'x'));
    return true;
  }(dir);
  return made ? dir : dir;
}

void RunCases(const std::vector<Case>& cases) {
  static int n = 0;
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    for (const char* ahead : c.args[0] == "Bppquest" ? std::vector{"0", "1"} : std::vector{""}) {
      const std::string dir = Inputs().File("case" + std::to_string(++n));
      fs::create_directory(dir);
      std::istringstream before(c.before);
      for (std::string f; before >> f;)
        if (f.find('>') != npos)
          fs::create_symlink(f.substr(f.find('>') + 1), dir + "/" + f.substr(0, f.find('>')));
        else
          zaltest::WriteFile(dir + "/" + f, std::string("older content"));
      Limits lim = c.lim;
      lim.ahead = ahead;
      Check(c, dir, Exec(c.args, dir, lim));
    }
  }
}

TEST(Programs, BannerHelpAndParsingErrors) {
  std::vector<Case> cases;
  for (const auto& [prog, title] : {std::pair{"ZALcod", "Image Coder"}, {"ZALdecod", "Image Decoder"},
                                    {"Bppquest", "Find bit rate"}})
    cases.push_back({prog, "Zonal Adaptive Layers (ZAL) " + std::string(title) + " - version 1.1\nUse " + prog +
                                   " --help for instructions on how to use this program\n"});
  for (const std::string prog : {"ZALcod", "ZALdecod", "Bppquest"})  // alone only
    cases.push_back({{prog, "--version"}, prog + " 1.1 (ZAL 1.3.0)\n"});
  for (const char* h : {"--help", "-h"}) {  // first, whatever follows
    cases.push_back({{"ZALcod", h, "whatever", "--bogus"}, "sha256:189bcb7024821aaa"});
    cases.push_back({{"ZALdecod", h, "-i"}, "sha256:3e4fe366882c9bd4"});
    cases.push_back({{"Bppquest", h}, "sha256:3c0033c6ff3a4c91"});
  }
  // The first fault stops the walk; a value may not begin with '-'; a value is read as a 32-bit number,
  // an 8-bit one keeps its low bits (256: 0), and a rate or start must be above 0.
  const std::string raw = "Width and height must be specified for raw image files";
  const std::pair<Args, std::string> errors[] = {
      {"ZALcod -i a.pgm --help", "Parameter --help unknown"}, {"ZALcod -i a.pgm -o b.zal -w -512", "Incorrect width"},
      {"ZALcod --width abc", "Incorrect width"}, {"ZALcod -i a.raw -h 0", "Incorrect height"},
      {"ZALcod --height", "Incorrect height"}, {"ZALcod -r 256", "Incorrect rplanes parameter"},
      {"ZALcod --level 0", "Incorrect level parameter"}, {"ZALcod -q 0", "Incorrect quantization parameter"},
      {"ZALcod --quant 1e-50", "Incorrect quantization parameter"}, {"ZALcod -i a.pgm -o", "Output file name not specified"},
      {"ZALcod -i -o b.zal", "Input file name not specified"}, {"ZALcod --verbose a.pgm", "Parameter a.pgm unknown"},
      {"ZALcod -x -w 0", "Parameter -x unknown"}, {"ZALcod -w 0 -x", "Incorrect width"},
      {"ZALcod -i a.pgm -t -s", "Output file name not specified"}, {"ZALcod -i a.raw -o b.zal -w 64", raw},
      {"ZALcod -i a.raw -o b.zal -h 64", raw}, {"Bppquest -b 0", "Incorrect bit rate"},
      {"Bppquest --bitrate ' -1'", "Incorrect bit rate"}, {"Bppquest -b nan", "Incorrect bit rate"},
      {"Bppquest -s 0", "Incorrect starting quantization parameter"},
      {"Bppquest --start ' -0.5'", "Incorrect starting quantization parameter"},
      {"Bppquest -i a.raw -h 0", "Incorrect height"}, {"Bppquest -o b.zal -v", "Input file name not specified"},
      {"Bppquest -l", "Incorrect level parameter"}, {"Bppquest -i a.pgm -k", "Output file name not specified"},
      {"Bppquest -i a.raw -o b.zal -w 64", raw},
      {"ZALdecod -i a.zal -h", "Parameter -h unknown"}, {"ZALdecod -v --help", "Parameter --help unknown"},
      {"ZALdecod -i", "Input file name not specified"}, {"ZALdecod -i a.zal -o -v", "Output file name not specified"},
      {"ZALdecod -i a.zal --compare", "File to compare not specified"}, {"ZALdecod -t a.zal", "Parameter a.zal unknown"},
      {"ZALdecod -o a.pgm", "Input file name not specified"},
      {"ZALcod --version -v", "Parameter --version unknown"}, {"Bppquest -i a.pgm --version", "Parameter --version unknown"},
      {"ZALdecod -i missing.zal -v -s", "Nor output file neither compare file specified"}};
  for (const auto& [args, text] : errors) cases.push_back({args, "Parsing error: " + text + "\n", 1});
  RunCases(cases);
}

std::string Zal(const std::string& file, int code) {
  const char* texts[] = {"", "", "Incorrect rplane parameter", "", "", "", "Image side should be multiple of 2^(level+1)",
                         "Cannot write file", "Cannot read file", "Insuficient memory available",
                         "Quantization parameter too small for this image", "Image side should be between 1 and 8191"};
  return "Error in ZAL (" + file + "):\n" + texts[code] + " (error #" + std::to_string(200 + code) + ")\n";
}
const std::string kWavelet = "\nError in wavelet transform: \nImage side should be multiple of 2^level (error #301)\n";

TEST(Programs, ZALcod) {
  const char* const cycles = "\n- Wavelet transform time (in cycles): N\n- ZAL coding time (in cycles):        N\n";
  RunCases({
      {"ZALcod -i ../in.pgm -o out.zal", "", 0, "out.zal=../def.zal"},
      // A later value replaces an earlier one.
      {"ZALcod -q 5 -i ../in.pgm -o out.zal -q 0.8956599831581116", "", 0, "out.zal=../def.zal"},
      {"ZALcod -i ../in.pgm -o out.zal -v -w 5 -q 25abc -l 3", "sha256:bca5322cb89cceb6", 0, "out.zal=../q25.zal"},
      {"ZALcod -i ../in.raw -o out.zal -v -w 128 -h 128", "sha256:63202a5efbf13d0e", 0, "out.zal=../def.zal"},
      {"ZALcod -i ../in.pgm -o out.zal -t", cycles, 0, "out.zal"},
      {"ZALcod -s -v -i ../in.pgm -o out.zal", "sha256:869f9f17323dd9b5", 0, "out.zal"},  // --seconds: timing on
      {"ZALcod -i missing.pgm -o out.zal", "\nError in missing.pgm: \nCannot read file (error #104)\n", 1},
      {"ZALcod -i ../rgb.png -o out.zal --grey", "", 0, "out.zal=../def.zal"},
      {"ZALcod -i ../rgb.png -o out.zal", "\nError in ../rgb.png: \nColour image not supported: ZAL takes 8-bit grey "
       "(--grey codes its luma) (error #114)\n", 1},
      {"ZALcod -i ../in.pgm -o out.zal -l 8", kWavelet, 1},
      {"ZALcod -i ../in.pgm -o out.zal -l 7", "\n" + Zal("out.zal", 6), 1},
      {"ZALcod -i ../in.pgm -o out.zal -q 1e-30", "\n" + Zal("out.zal", 10), 1},
      {"ZALcod -i ../in.pgm -o no/out.zal", "\n" + Zal("no/out.zal", 7), 1},
      // Through a named pipe removed once opened: the report says that the input's size cannot be read.
      {"ZALcod -i in.raw -o out.zal -v -w 128 -h 128", "sha256:1500205336e1a9f6", 0, "out.zal",
       {0, 0, "", "mkfifo in.raw && { (exec 3>in.raw >/dev/null; rm in.raw; head -c 16384 /dev/zero | tr '\\0' d >&3) & }"}},
      // Values keep their low 8 bits (300: 44); beyond 32 bits they saturate first (-1, not 2).
      {"ZALcod -i ../in.pgm -o out.zal -v -l 300", "sha256:e7fce582dd99e265", 1},
      {"ZALcod -i ../in.pgm -o out.zal -v -r 4294967298", "sha256:7c818e5e05b1acb7", 1},
      // --pad: any size up to 8064 at 6 levels, the rate over 17 x 9; --checksum: the same stream, 14 bytes more.
      {"ZALcod -i ../odd.pgm -o out.zal --pad -v", "sha256:a4aa10cf830a7e9f", 0, "out.zal@1c822c6e50e2"},
      {"ZALcod -i ../wide.pgm -o out.zal --pad", "\n" + Zal("out.zal", 11), 1},
      {"ZALcod -i ../in.pgm -o out.zal --checksum", "", 0, "out.zal@f35616765b87"},
  });
}

TEST(Programs, ZALdecod) {
  const std::string psnrInf = "\n- PSNR of the compressed image: inf dB\n";
  const std::string kCut = "\nWarning: the compressed file ends early; the image is incomplete\n";
  RunCases({
      {"ZALdecod -v -i ../q25.zal -o out.pgm", "sha256:844a9487386d5692", 0, "out.pgm=../q25.pgm"},
      {"ZALdecod -i ../q25.zal -o out.bmp", "", 0, "out.bmp@08b2fdf08479"},
      {"ZALdecod -i ../q25.zal -o out.RAW", "", 0, "out.RAW=../q25.raw"},  // no dimension file
      {"ZALdecod -i missing.zal -o x.pgm", Zal("missing.zal", 8), 1},
      {"ZALdecod -i ../q25.zal -o out.tif", "Error in out.tif: File format not supported (error #110)\n", 1},
      {"ZALdecod -i ../q25.zal -o out", "Error in out: No extension in file name (error #109)\n", 1},
      {"ZALdecod -i ../q25.zal -o no/out.pgm", "Error in no/out.pgm: Cannot write file (error #105)\n", 1},
      {"ZALdecod -i ../q25.zal -c ../in.pgm -v", "sha256:f93d9252faef317d"},
      {"ZALdecod -i ../q25.zal -c ../q25.pgm", psnrInf},
      {"ZALdecod -i ../q25.zal -c ../q25.raw", psnrInf},  // a RAW reference is read with the decoded size
      {"ZALdecod -i ../q25.zal -c ../q25.png", psnrInf},  // written by ZALdecod -o q25.png
      // The comparison comes after the output is written.
      {"ZALdecod -i ../q25.zal -o out.pgm -c missing.pgm",
       "Error in missing.pgm: \nCannot read file (error #104)\n", 1, "out.pgm=../q25.pgm"},
      {"ZALdecod -i ../q25.zal -c ../w64.pgm",
       "Error in ../w64.pgm: \nImage size 64 x 128 differs from the decoded size 128 x 128\n", 1},
      {"ZALdecod -i ../q25.zal -c ../h64.pgm",
       "Error in ../h64.pgm: \nImage size 128 x 64 differs from the decoded size 128 x 128\n", 1},
      {"ZALdecod -i ../q25.zal -o out.pgm -t", "sha256:4fe557bdee241b2c", 0, "out.pgm"},
      {"ZALdecod -i ../q25.zal -c ../in.pgm -s -v", "sha256:831c908f64470d2a"},
      // A header announcing a plane and no body: refused, nothing written. A cut file: what was read is
      // written and measured, and said to be incomplete.
      {"ZALdecod -i ../short.zal -o out.pgm",
       "Error in ZAL (../short.zal):\nCorrupt compressed file: invalid data (error #213)\n", 1},
      {"ZALdecod -i ../cut.zal -o out.pgm", kCut, 1, "out.pgm@4991110e5485"},
      {"ZALdecod -i ../cut.zal -c ../in.pgm", "\n- PSNR of the compressed image: 33.10 dB\n" + kCut, 1},
      // A padded file: written and measured at its true size; its extension damaged, refused.
      {"ZALdecod -i ../pad.zal -o out.pgm -c ../crop.pgm", "\n- PSNR of the compressed image: 39.64 dB\n", 0,
       "out.pgm@e635f1893c11"},
      {"ZALdecod -i ../bad.zal -o out.pgm",
       "Error in ZAL (../bad.zal):\nCorrupt compressed file: checksum mismatch (error #217)\n", 1},
  });
}

// The search on the wave image at 3 levels, quiet and listed: a quiet search stops coding a trial
// once it passes the target's size, so the files must agree; the trial lines and files are pinned.
TEST(Programs, Bppquest) {
  auto with = [](const std::string& extra) { return Args(("Bppquest -i ../in.pgm -o out.zal -l 3 " + extra).c_str()); };
  const std::string unreachable = "\nError in bit rate search: \nThe bit rate 0.001000 bpp cannot be reached: "
                                  "the lowest rate with rplanes=2 is 0.171875 bpp\n";
  RunCases({
      {with("-v -w 5"), "sha256:95d8357fb074f8b9", 0, "out.zal@ec01681fc5b0"},
      {with(""), "", 0, "out.zal@ec01681fc5b0"},
      {"Bppquest -i ../rgb.png -o out.zal -l 3 -g", "", 0, "out.zal@ec01681fc5b0"},
      {"Bppquest -i ../in.pgm -o /dev/null -l 3 -v", "sha256:49f3a3ec3f176eba"},  // no size to read there
      // The first trial meets the target.
      {with("-v -b 5.17822266"), "sha256:f656624c3b813e70", 0, "out.zal@bf571d819d1a"},
      {with("-v -b 20"), "sha256:dcf9a3af663e8264", 0, "out.zal@a425f1bef693"},  // never steps to 0
      {with("-b 20"), "", 0, "out.zal@a425f1bef693"},
      {with("-b 0.001"), unreachable, 1},
      // Above 32 the last step cannot move q: the search ends there.
      {with("-v -l 5 -b 0.0244140625 -s 40"), "sha256:3a5307e55132ea5d", 0, "out.zal@b3b207262fda"},
      // The lowest rate of five levels is met only far above q = 100: the search stops after 1000 trials.
      {with("-v -l 5 -b 0.019042969"), "sha256:192b66f05ba49931", 1, "out.zal@15104518f674"},
      {with("-v -l 4 -b 0.25"), "sha256:a09e0a070ffcde2f", 0, "out.zal@a511826edec6"},
      {with("-l 4 -b 0.25"), "", 0, "out.zal@a511826edec6"},
      {with("-v -l 5 -b 0.4 -s 0.7"), "sha256:fad363ceb8c02903", 0, "out.zal@033f469be405"},
      {with("-r 3 -b 2.2"), "", 0, "out.zal@fddfe41cbd28"},
      {with("-b 0.8 -s 3"), "", 0, "out.zal@009c99521dec"},
      // --keep raises rplanes rather than pass q = 1; listed, it starts from the default rplanes.
      {with("-v -k -r 4 -b 1"), "sha256:7629a05beb6e07ee", 0, "out.zal@4527689b502c"},
      {with("-k -r 4 -b 2.5"), "", 0, "out.zal@f655c8916536"},
      // Beyond the coder's rplanes; never below the target.
      {with("-v -k -s 1.2"), "sha256:04bfdc9311c97749", 1, "out.zal@6ea62c1413ed"},
      {with("-k -b 0.001"), "\n" + Zal("out.zal", 2), 1, "out.zal@a4c1af34fe1e"},
      // The finest steps pass q = 1 from 0.999999106, above the target, so rplanes 13 fails next: the file is
      // that trial's whole stream (ZALcod's at that q), though the search stopped coding it at the target's size.
      {"Bppquest -i ../bars.pgm -o out.zal -l 7 -r 12 -k -s 1 -b 0.00225", "\n" + Zal("out.zal", 2), 1,
       "out.zal@d67f9ec34b98"},
      {"Bppquest -i missing.pgm -o out.zal", "\nError in missing.pgm: \nCannot read file (error #104)\n", 1},
      {with("-l 8"), kWavelet, 1},
      {with("-l 7"), "\n" + Zal("out.zal", 6), 1},
      {with("-v -s 1e-30"), "sha256:8a6374de42855565", 1},  // refused before any trial line
      {"Bppquest -i ../in.pgm -o no/out.zal -l 3 -v", "sha256:9ba18f449290b7d2", 1},
      // A trial whose size meets the target exactly ends the search, though its rate is not exact in float.
      {"Bppquest -i ../crop.pgm -o out.zal -l 3 -b 0.200520828", "", 0, "out.zal@7279e74aa731"},
      // The file's rate, extension included, over the true size; 1 x 1 never comes near 1 bpp.
      {with("--pad -i ../odd.pgm -b 4 -v"), "sha256:112081c2a8191705", 0, "out.zal@75b720bfb0ff"},
      {with("--pad -i ../odd.pgm -b 4"), "", 0, "out.zal@75b720bfb0ff"},
      {with("--checksum -b 2"), "", 0, "out.zal@635803fb0f6b"},
      {"Bppquest -i ../one.pgm -o out.zal --pad", "\nError in bit rate search: \nThe bit rate 1.000000 bpp cannot be "
       "reached: the lowest rate with rplanes=2 is 280.000000 bpp\n", 1},
  });
}

// A full disk: status 1, and the output's name keeps what it had (written in place: a device, a link's target).
TEST(Programs, FullDisk) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const Args cod = "ZALcod -i ../in.pgm -o out.zal", bpp = "Bppquest -i ../in.pgm -o out.zal -l 3 -b 2";
  const std::string zal = "\n" + Zal("out.zal", 7);
  const Limits disk{0, 2};  // 1 KiB to 2 KiB, by the shell
  std::vector<Case> cases = {
      {cod, zal, 1, "~out.zal", {}, "out.zal>/dev/full"},
      {bpp, zal, 1, "~out.zal", {}, "out.zal>/dev/full"},
      {cod, zal, 1, "!out.zal", disk},
      {cod, zal, 1, "out.zal#13", disk, "out.zal"},
      {bpp, zal, 1, "out.zal#13", disk, "out.zal"},
      {cod, zal, 1, "~out.zal target", disk, "target out.zal>target"},
      {cod, zal, 1, "target", {0, 2, "", "ln target out.zal"}, "target"},  // in place, and the cut name removed
      {"ZALdecod -i ../def.zal -o out.pgm", "", 0, "out.pgm#16425", {0, 1 << 20}},  // under the limit all is well
      {"ZALdecod -i ../def.zal -o link.bmp", "Error in link.bmp: Cannot write file (error #105)\n", 1,
       "~link.bmp target", disk, "target link.bmp>target"},
  };
  for (const std::string name : {"out.pgm", "out.bmp", "out.raw"}) {
    const std::string text = "Error in " + name + ": Cannot write file (error #105)\n";
    cases.push_back({{"ZALdecod", "-i", "../def.zal", "-o", name}, text, 1, "~" + name, {}, name + ">/dev/full"});
    cases.push_back({{"ZALdecod", "-i", "../def.zal", "-o", name}, text, 1, name + "#13", disk, name});
  }
  RunCases(cases);
}

// Outputs replace their names whole. Same-file refusals; permissions kept; names written in place; runs
// killed at each moment of an output's life (the test hook raises the signal) leave the old file and no
// temporary one; standard output that cannot be written fails the run and leaves the old file too.
TEST(Programs, Outputs) {
  for (int sig : {SIGINT, SIGHUP}) std::signal(sig, SIG_DFL);  // as a background job may have them
  const std::string same = "Output file is the same as an input file (error #113)";
  const Args cod = "ZALcod -i ../in.pgm -o out.zal", dec = "ZALdecod -i ../q25.zal -o out.pgm",
             bpp = "Bppquest -i ../in.pgm -o out.zal -l 3 -v";
  auto killed = [](const Args& a, const char* hook, int sig, const char* file, std::string out = "") {
    return Case{a, out, 128 + sig, std::string(file) + "#13", {0, 0, "", hook}, file};
  };
  auto stdoutFails = [](const Args& a, const char* file, const char* shell, const char* why) {
    return Case{a, "", 1, std::string(file) + "#13", {0, 0, "", shell}, file,
                std::string("Error writing standard output: ") + why + "\n"};
  };
  RunCases({
      {"ZALcod -i in.pgm -o in.pgm", "\nError in in.pgm: \n" + same + "\n", 1, "in.pgm#13", {}, "in.pgm"},
      {"Bppquest -i ../in.pgm -o in.zal", "\nError in in.zal: \n" + same + "\n", 1, "~in.zal", {}, "in.zal>../in.pgm"},
      {"ZALdecod -i ../q25.zal -o in.pgm", "Error in in.pgm: " + same + "\n", 1, "~in.pgm", {}, "in.pgm>../q25.zal"},
      {"ZALdecod -i ../q25.zal -o o.pgm -c o.pgm", "Error in o.pgm: " + same + "\n", 1, "o.pgm#13", {}, "o.pgm"},
      // A character device is never the same file.
      {"ZALdecod -i ../q25.zal -o a.pgm -c b.pgm", "Error in b.pgm: \nFile format not supported (error #106)\n", 1,
       "~a.pgm ~b.pgm", {}, "a.pgm>/dev/null b.pgm>/dev/null"},
      // The old file's permissions, or a new file's under the umask; a link's target, a file with another
      // hard link and a FIFO are written in place.
      {cod, "", 0, "out.zal=../def.zal out.zal%640", {0, 0, "", "chmod 640 out.zal"}, "out.zal"},
      {"Bppquest -i ../in.pgm -o out.zal -l 3", "", 0, "out.zal@ec01681fc5b0", {}, "out.zal"},  // sizes its own
      {cod, "", 0, "out.zal%604", {0, 0, "", "umask 073"}},
      {cod, "", 0, "~out.zal target=../def.zal", {}, "target out.zal>target"},
      {cod, "", 0, "out.zal=../def.zal target=../def.zal", {0, 0, "", "ln target out.zal"}, "target"},
      {dec, "", 0, "got=../q25.pgm", {0, 0, "", "mkfifo out.pgm && { (timeout 20 cat out.pgm >got; rm out.pgm) & }"}},
      // Killed before the first trial, after it, and before the rename: SIGTERM, SIGINT, SIGHUP, SIGXFSZ.
      killed(bpp, "export ZAL_TEST_HOOK=open:15", 15, "out.zal"),
      killed(bpp, "export ZAL_TEST_HOOK=written:2", 2, "out.zal"),
      killed(bpp, "export ZAL_TEST_HOOK=rename:1", 1, "out.zal", "sha256:dcae564b943a"),  // all printed
      killed(dec, "export ZAL_TEST_HOOK=open:1", 1, "out.pgm"),
      killed(dec, "export ZAL_TEST_HOOK=written:15", 15, "out.pgm"),
      killed(dec, "export ZAL_TEST_HOOK=rename:2", 2, "out.pgm"),
      killed(cod, "ulimit -c 0 && trap - XFSZ && export ZAL_TEST_HOOK=written:25", 25, "out.zal"),
      stdoutFails("ZALdecod -i ../q25.zal -o out.pgm -c ../q25.pgm", "out.pgm", "exec >/dev/full",
                  "No space left on device"),
      stdoutFails("ZALcod -i ../in.pgm -o out.zal -v", "out.zal", "mkfifo p && exec 4<>p >p 4<&- && rm p",
                  "Broken pipe"),
      stdoutFails(bpp, "out.zal", "exec >&-", "Bad file descriptor"),
  });
}

// Two coders writing one name at once leave one whole stream: the first, held back by the hook before it
// writes, is renamed over the second's longer stream.
TEST(Programs, ConcurrentWritersLeaveOneWholeStream) {
  const std::string dir = Inputs().File("race"), hold = dir + "/hold";
  fs::create_directory(dir);
  ASSERT_EQ(mkfifo(hold.c_str(), 0600), 0);
  FILE* first = popen(("cd " + Q(dir) + " && ZAL_TEST_HOOK=open:hold exec " + Q(zaltest::BinDir() + "/ZALcod") +
                       " -i ../in.pgm -o out.zal -q 25 -l 3").c_str(), "r");
  const int fd = open(hold.c_str(), O_WRONLY);  // once the first waits at the hook
  EXPECT_EQ(Exec("ZALcod -i ../in.pgm -o out.zal", dir).status, 0);
  close(fd);
  EXPECT_EQ(pclose(first), 0);
  EXPECT_EQ(zaltest::ReadFile(dir + "/out.zal"), zaltest::ReadFile(Inputs().File("q25.zal")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);  // out.zal and hold
}

// Sizes refused from the header alone, before a plane is asked for (under the memory limit an attempt
// would read 111 or 209), and sizes accepted whose plane cannot be had under it. The transform's and the
// coder's refusals of a size come as they would after the work, verbose headings and all.
TEST(Programs, SizeLimits) {
  const Limits mem{kAsan ? 0 : 128 << 10};
  std::vector<Case> cases;
  cases.push_back({"ZALcod -i ../many.pgm -o out.zal",
                   "\nError in ../many.pgm: \nImage size not supported (error #112)\n", 1, "", mem});
  cases.push_back({"Bppquest -i ../huge.pgm -o out.zal", "\n" + Zal("out.zal", 11), 1, "", mem});
  cases.push_back({"ZALcod -v -i ../huge.pgm -o out.zal", "sha256:510d3f39721175f4", 1, "", mem});
  cases.push_back({"Bppquest -v -i ../wide.pgm -o out.zal", "sha256:e585bc2317ca3e84", 1, "", mem});
  cases.push_back({"ZALdecod -i ../q25.zal -c ../huge.pgm",
                   "Error in ../huge.pgm: \nImage size 16384 x 16384 differs from the decoded size 128 x 128\n", 1, "", mem});
  for (const std::string zal : {"../side.zal", "../levels.zal"})
    cases.push_back({{"ZALdecod", "-i", zal, "-o", "out.pgm"},
                     "Error in ZAL (" + zal + "):\nCorrupt compressed file: invalid header (error #212)\n", 1, "", mem});
  const Limits plane{2048L * 4099 * 4 * 3 / 2 / 1024};  // a plane and a half
  const std::string memory = "Insuficient memory available";
  if (!kAsan) {
    cases.push_back({"ZALdecod -i ../large.zal -o out.pgm", Zal("../large.zal", 9), 1, "", mem});
    cases.push_back({"ZALcod -i ../fits.pgm -o out.zal", "\nError in ../fits.pgm: \n" + memory + " (error #111)\n", 1,
                     "", mem});
    // The plane fits under the limit, a second one does not: Bppquest's backup, ZALdecod's comparison.
    if (!fs::exists(Inputs().File("big.zal"))) {
      zaltest::WritePgm(Inputs().File("big.pgm"), zaltest::FlatImage(4096, 2048, 100));
      ASSERT_EQ(Exec("ZALcod -i big.pgm -o big.zal -l 3", Inputs().path).status, 0);
    }
    cases.push_back({"Bppquest -i ../big.pgm -o out.zal",
                     "\nError in bit rate search: \n" + memory + " for a copy of the coefficients\n", 1, "", plane});
    cases.push_back({"ZALdecod -i ../big.zal -c missing.pgm",
                     "Error in missing.pgm: \n" + memory + " (error #111)\n", 1, "", plane});
    // Room for two planes and a trial's stream in memory, not for the last trial's: 209, and the file of the
    // trial before (small stacks).
    if (!fs::exists(Inputs().File("noise.pgm"))) zaltest::WritePgm(Inputs().File("noise.pgm"), zaltest::NoisyImage(2048, 2048, 3));
    cases.push_back({"Bppquest -i ../noise.pgm -o out.zal -l 3 -b 7 -s 0.333991", "\n" + Zal("out.zal", 9), 1,
                     "out.zal@972a0d8461db", {(2L * 2048 * 2051 * 4 >> 10) + (14 << 10), 0, "", "ulimit -s 256"}});
  }
  RunCases(cases);
}

// On a terminal (script(1) gives standard error a pseudo-terminal) a quiet search rewrites one line per trial and
// blanks it at the end; a verbose one, whose trial lines say more, shows nothing there. Standard output is unchanged.
TEST(Programs, BppquestProgressOnlyOnATerminal) {
  const std::string dir = Inputs().File("tty"), bpp = Q(zaltest::BinDir() + "/Bppquest") + " -i ../in.pgm -l 3 -o ";
  const std::string run = bpp + "v.zal -v >/dev/null && " + bpp + "out.zal >out.txt";
  fs::create_directory(dir);
  const std::string shown = zaltest::Shell("cd " + Q(dir) + " && script -qec " + Q(run) + " /dev/null </dev/null");
  EXPECT_EQ(zaltest::ReadFile(dir + "/out.txt").size(), 0u);
  const std::string update = "\rBppquest: trial \\d+, quantization \\d+\\.\\d{6}, (above 1\\.000000|\\d+\\.\\d{6}) bpp *";
  EXPECT_TRUE(std::regex_match(shown, std::regex("(" + update + "){6,}\r +\r"))) << shown;
  std::string line;  // what the terminal shows at the end: a blank line
  for (size_t k = 0, col = 0; k < shown.size(); ++k)
    if (shown[k] == '\r') col = 0;
    else line.resize(std::max(line.size(), col + 1)), line[col++] = shown[k];
  EXPECT_EQ(line.find_first_not_of(' '), npos) << line;
}

// A read that fails is no end of file: a directory (EISDIR) or /proc/self/mem (EIO) is "Cannot read file". A FIFO
// fed without end is refused once its header passes 1 MiB (the CPU limit stands for a timeout).
TEST(Programs, UnreadableAndEndlessInputs) {
  std::vector<Case> cases;
  const std::string cannot = "Cannot read file (error #104)\n", unsupported = "File format not supported (error #106)\n";
  for (const std::string target : {".", "/proc/self/mem"}) {
    for (const std::string in : {"in.raw", "in.pgm", "in.bmp"})
      cases.push_back({{"ZALcod", "-i", in, "-o", "out.zal", "-w", "128", "-h", "128"}, "\nError in " + in + ": \n" + cannot, 1,
                       "~" + in, {}, in + ">" + target});
    cases.push_back({"ZALdecod -i in.zal -o out.pgm", Zal("in.zal", 8), 1, "~in.zal", {}, "in.zal>" + target});
    cases.push_back({"ZALdecod -i ../q25.zal -c in.raw", "Error in in.raw: \n" + cannot, 1, "~in.raw", {}, "in.raw>" + target});
  }
  cases.push_back({"Bppquest -i in.bmp -o out.zal", "\nError in in.bmp: \n" + cannot, 1, "~in.bmp", {}, "in.bmp>."});
  std::string fed[] = {"printf 'P5\\n#' >&3; exec cat /dev/zero", "printf P5 >&3; exec yes ''"};  // a comment, blank lines
  for (std::string& f : fed) f = "ulimit -t 20 && mkfifo in.pgm && { (exec 3>in.pgm >/dev/null 2>&1; rm in.pgm; " + f + " >&3) & }";
  cases.push_back({"ZALcod -i in.pgm -o out.zal", "\nError in in.pgm: \n" + unsupported, 1, "", {0, 0, "", fed[0].c_str()}});
  cases.push_back({"ZALdecod -i ../q25.zal -c in.pgm", "Error in in.pgm: \n" + unsupported, 1, "", {0, 0, "", fed[1].c_str()}});
  RunCases(cases);
}

// Any target and start, with and without --keep, end with status 0 or 1 and nothing on standard error.
TEST(Programs, BppquestEndsForAnyNumbers) {
  for (const char* start : {"nan", "inf", "-1", "0", "1e-45", "3e38"})
    for (const char* target : {"nan", "-inf", "0", "1e-30", "3", "1e30"})
      for (const char* keep : {"-v", "-k"}) {
        const Args args = {"Bppquest", "-i", "small.pgm", "-o", "small.zal", "-l", "3", "-s", start, "-b", target, keep};
        const Outcome r = Exec(args, Inputs().path);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << start << " " << target << " " << keep;
        EXPECT_EQ(r.err, "") << start << " " << target << " " << keep;
      }
}

}  // namespace
