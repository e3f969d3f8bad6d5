#include "DEVUror/zqm_auth.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>

#include "DEVUror/zqm_exceptions.h"

namespace zqm_auth {

namespace {

constexpr char kClientLabel[] = "zqm-client";
constexpr char kServerLabel[] = "zqm-server";

[[noreturn]] void Fail(const std::string& message) {
  ZQM_EException failure{ZQ_TString(message)};
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

std::string ErrnoText(int error) {
  return std::strerror(error);
}

void InitSodium() {
  if (sodium_init() < 0) Fail("sodium_init failed: the cryptography library cannot be used");
}

// Where the key comes from, as the program chose it with its flags.
struct Choice {
  enum class Kind { kNone, kFile, kInsecure } kind = Kind::kNone;
  std::string path;
};

struct State {
  std::mutex mutex;
  Choice choice;
  std::shared_ptr<const Credentials> current;
  bool inheritedTaken = false;
  std::optional<std::string> inheritedKey;  // what ZQM_KEY_FD held
  std::string inheritedSource;
  std::string inheritedError;  // why ZQM_KEY_FD could not be read
  int childDescriptor = -1;
};

State& TheState() {
  static State* state = new State;  // never destroyed: used until the process ends
  return *state;
}

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : nullptr;
}

// Reads a whole key from `fd` (from offset 0), bounded by kMaxKeyBytes.
std::string ReadKey(int fd, const std::string& what) {
  std::string key(kMaxKeyBytes + 1, '\0');
  std::size_t done = 0;
  while (done < key.size()) {
    const ssize_t n = pread(fd, key.data() + done, key.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("cannot read the key from " + what + ": " + ErrnoText(errno));
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  key.resize(done);
  if (done < kMinKeyBytes || done > kMaxKeyBytes) {
    sodium_memzero(key.data(), key.size());
    Fail("the key in " + what + " has " +
         (done > kMaxKeyBytes ? "more than 1024" : std::to_string(done)) +
         " bytes; a key has 32 to 1024 (make one with zqmd --init-key PATH)");
  }
  return key;
}

std::string LoadKeyFile(const std::string& path) {
  const std::string what = "the key file " + path;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) Fail("cannot open " + what + ": " + ErrnoText(errno));
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int error = errno;
    close(fd);
    Fail("cannot inspect " + what + ": " + ErrnoText(error));
  }
  std::string problem;
  if (!S_ISREG(info.st_mode)) {
    problem = "is not a regular file";
  } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    problem = "is writable by others";
  } else if ((info.st_mode & S_IROTH) != 0) {
    problem = "is readable by everyone";
  }
  if (!problem.empty()) {
    close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    Fail(what + " " + problem + " (mode " + mode + "); refusing to use it: chmod 600 " + path);
  }
  try {
    std::string key = ReadKey(fd, what);
    close(fd);
    return key;
  } catch (...) {
    close(fd);
    throw;
  }
}

void TakeInheritedKeyLocked(State& state) {
  if (state.inheritedTaken) return;
  state.inheritedTaken = true;
  const char* text = Environment("ZQM_KEY_FD");
  if (text == nullptr) return;
  const std::string name(text);
  unsetenv("ZQM_KEY_FD");
  char* end = nullptr;
  errno = 0;
  const long fd = std::strtol(name.c_str(), &end, 10);
  state.inheritedSource = "descriptor " + name + " (ZQM_KEY_FD)";
  if (*end != 0 || errno != 0 || fd < 0 || fd > 65535) {
    state.inheritedError = "ZQM_KEY_FD=" + name + " is not a descriptor number";
    return;
  }
  try {
    struct stat info {};
    if (fstat(static_cast<int>(fd), &info) != 0) {
      Fail("cannot inspect " + state.inheritedSource + ": " + ErrnoText(errno));
    }
    if (!S_ISREG(info.st_mode)) Fail(state.inheritedSource + " is not a file");
    state.inheritedKey = ReadKey(static_cast<int>(fd), state.inheritedSource);
  } catch (const ZQ_EException& failure) {
    state.inheritedError = failure.ZQ_Message().Text();
  }
  close(static_cast<int>(fd));
}

std::string NoKeyMessage(const std::string& defaultPath) {
  return "no installation key: no --key PATH, ZQM_KEY_FILE or ZQM_KEY_FD names one, and " +
         defaultPath + " does not exist. Make one with \"zqmd --init-key " + defaultPath +
         "\" (the same key on every host of the installation), or point ZQM_KEY_FILE at the key "
         "file; to run without authentication, start with --insecure or ZQM_INSECURE=1";
}

std::shared_ptr<const Credentials> Load(State& state) {
  auto credentials = std::make_shared<Credentials>();
  const char* insecure = Environment("ZQM_INSECURE");
  if (state.choice.kind == Choice::Kind::kInsecure ||
      (state.choice.kind == Choice::Kind::kNone && insecure != nullptr &&
       std::strcmp(insecure, "0") != 0)) {
    credentials->insecure = true;
    credentials->source =
        state.choice.kind == Choice::Kind::kInsecure ? "--insecure" : "ZQM_INSECURE";
    return credentials;
  }
  InitSodium();
  if (state.choice.kind == Choice::Kind::kFile) {
    credentials->key = LoadKeyFile(state.choice.path);
    credentials->source = state.choice.path;
  } else if (const char* path = Environment("ZQM_KEY_FILE")) {
    credentials->key = LoadKeyFile(path);
    credentials->source = path;
  } else if (!state.inheritedSource.empty()) {
    if (!state.inheritedKey) Fail(state.inheritedError);
    credentials->key = *state.inheritedKey;
    credentials->source = state.inheritedSource;
  } else {
    const std::string path = DefaultKeyPath();
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 && errno == ENOENT) Fail(NoKeyMessage(path));
    credentials->key = LoadKeyFile(path);
    credentials->source = path;
  }
  return credentials;
}

void SetChoice(Choice choice) {
  State& state = TheState();
  std::lock_guard<std::mutex> hold(state.mutex);
  state.choice = std::move(choice);
  state.current.reset();
}

std::string Hmac(const Credentials& credentials, const char* label, std::string_view greetingBody,
                 std::string_view clientNonce) {
  crypto_auth_hmacsha256_state hmac;
  crypto_auth_hmacsha256_init(&hmac, reinterpret_cast<const unsigned char*>(credentials.key.data()),
                              credentials.key.size());
  crypto_auth_hmacsha256_update(&hmac, reinterpret_cast<const unsigned char*>(label),
                                std::strlen(label));
  crypto_auth_hmacsha256_update(&hmac, reinterpret_cast<const unsigned char*>(greetingBody.data()),
                                greetingBody.size());
  crypto_auth_hmacsha256_update(&hmac, reinterpret_cast<const unsigned char*>(clientNonce.data()),
                                clientNonce.size());
  std::string proof(crypto_auth_hmacsha256_BYTES, '\0');
  crypto_auth_hmacsha256_final(&hmac, reinterpret_cast<unsigned char*>(proof.data()));
  sodium_memzero(&hmac, sizeof hmac);
  return proof;
}

}  // namespace

Credentials::~Credentials() {
  if (!key.empty()) sodium_memzero(key.data(), key.size());
}

unsigned HandshakeTimeoutMs() {
  const char* text = Environment("ZQM_HANDSHAKE_TIMEOUT_MS");
  if (text == nullptr) return kHandshakeTimeoutMs;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return *end == 0 && value > 0 && value <= 600000 ? static_cast<unsigned>(value)
                                                   : kHandshakeTimeoutMs;
}

void UseKeyFile(const std::string& path) {
  SetChoice({Choice::Kind::kFile, path});
}

void UseInsecure() {
  SetChoice({Choice::Kind::kInsecure, ""});
}

void Forget() {
  State& state = TheState();
  std::lock_guard<std::mutex> hold(state.mutex);
  state.current.reset();
}

void TakeInheritedKey() {
  State& state = TheState();
  std::lock_guard<std::mutex> hold(state.mutex);
  TakeInheritedKeyLocked(state);
}

std::shared_ptr<const Credentials> Current() {
  State& state = TheState();
  std::lock_guard<std::mutex> hold(state.mutex);
  TakeInheritedKeyLocked(state);
  if (!state.current) state.current = Load(state);
  return state.current;
}

std::string DefaultKeyPath() {
  if (geteuid() == 0) return "/etc/zqm/installation.key";
  if (const char* config = Environment("XDG_CONFIG_HOME")) {
    return std::string(config) + "/zqm/installation.key";
  }
  std::string home;
  if (const char* variable = Environment("HOME")) {
    home = variable;
  } else if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_dir) {
    home = entry->pw_dir;
  }
  return home + "/.config/zqm/installation.key";
}

void CreateKeyFile(const std::string& path) {
  InitSodium();
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code error;
  if (!parent.empty()) std::filesystem::create_directories(parent, error);
  if (error) Fail("cannot create the folder " + parent.string() + ": " + error.message());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int cause = errno;
    Fail("cannot create the key file " + path + ": " + ErrnoText(cause) +
         (cause == EEXIST ? " (an existing key is never overwritten)" : ""));
  }
  std::string key = RandomBytes(kKeyBytesWritten);
  std::size_t done = 0;
  int cause = 0;
  if (fchmod(fd, 0600) != 0) cause = errno;
  while (cause == 0 && done < key.size()) {
    const ssize_t n = write(fd, key.data() + done, key.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      cause = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (cause == 0 && fsync(fd) != 0) cause = errno;
  sodium_memzero(key.data(), key.size());
  if (close(fd) != 0 && cause == 0) cause = errno;
  if (cause != 0) {
    unlink(path.c_str());
    Fail("cannot write the key file " + path + ": " + ErrnoText(cause));
  }
}

int ChildKeyDescriptor() {
  const std::shared_ptr<const Credentials> credentials = Current();
  if (credentials->insecure) return -1;
  State& state = TheState();
  std::lock_guard<std::mutex> hold(state.mutex);
  if (state.childDescriptor >= 0) return state.childDescriptor;
  const int fd = memfd_create("zqm-installation-key", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) Fail(std::string("memfd_create for the children's key: ") + ErrnoText(errno));
  const std::string& key = credentials->key;
  const bool written = write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size());
  if (!written ||
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    const int cause = written ? errno : EIO;
    close(fd);
    Fail(std::string("cannot fill the children's key descriptor: ") + ErrnoText(cause));
  }
  lseek(fd, 0, SEEK_SET);
  state.childDescriptor = fd;
  return fd;
}

std::string RandomBytes(std::size_t bytes) {
  InitSodium();
  std::string random(bytes, '\0');
  randombytes_buf(random.data(), random.size());
  return random;
}

std::string ClientProof(const Credentials& credentials, std::string_view greetingBody,
                        std::string_view clientNonce) {
  return Hmac(credentials, kClientLabel, greetingBody, clientNonce);
}

std::string ServerProof(const Credentials& credentials, std::string_view greetingBody,
                        std::string_view clientNonce) {
  return Hmac(credentials, kServerLabel, greetingBody, clientNonce);
}

bool SameProof(const std::string& expected, std::string_view received) {
  return received.size() == expected.size() &&
         sodium_memcmp(expected.data(), received.data(), expected.size()) == 0;
}

std::string ToHex(std::string_view bytes) {
  std::string text(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                 bytes.size());
  text.pop_back();
  return text;
}

std::string FromHex(std::string_view text, std::size_t bytes) {
  if (text.size() != bytes * 2) return "";
  std::string binary(bytes, '\0');
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_hex2bin(reinterpret_cast<unsigned char*>(binary.data()), binary.size(), text.data(),
                     text.size(), nullptr, &length, &end) != 0 ||
      length != bytes || end != text.data() + text.size()) {
    return "";
  }
  return binary;
}

}  // namespace zqm_auth
