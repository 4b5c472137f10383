// helpers.cpp — shared test helpers.
#include "helpers.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

run_result run_qarn(const std::vector<std::string>& args, long file_size_limit) {
  int pipefd[2];
  if (pipe(pipefd) != 0) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], STDOUT_FILENO);
    close(pipefd[0]);
    close(pipefd[1]);
    if (file_size_limit > 0) {
      rlimit limit{rlim_t(file_size_limit), rlim_t(file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN);
    }
    std::vector<char*> argv;
    std::string exe = QARN_EXE;
    argv.push_back(exe.data());
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(pipefd[1]);
  std::string out;
  char buf[4096];
  for (ssize_t k; (k = read(pipefd[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(k));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return {code, out};
}

bytes read_bytes(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_bytes(const std::filesystem::path& p, const bytes& b) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

bytes to_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

std::string first_difference(const bytes& expected, const bytes& actual) {
  size_t n = std::min(expected.size(), actual.size());
  for (size_t i = 0; i < n; i++)
    if (expected[i] != actual[i])
      return "byte " + std::to_string(i) + " is " + std::to_string(actual[i]) + ", expected " +
             std::to_string(expected[i]);
  if (expected.size() != actual.size())
    return "length is " + std::to_string(actual.size()) + ", expected " + std::to_string(expected.size());
  return "";
}

void scratch_test::SetUp() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qarn-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) std::abort();
  dir = tmpl;
}

void scratch_test::TearDown() { std::filesystem::remove_all(dir); }

std::string sha256_hex(const bytes& b) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(b.data(), b.size(), digest, &length, EVP_sha256(), nullptr)) std::abort();
  static const char hex[] = "0123456789abcdef";
  std::string s;
  for (unsigned int i = 0; i < length; i++) {
    s += hex[digest[i] >> 4];
    s += hex[digest[i] & 15];
  }
  return s;
}
