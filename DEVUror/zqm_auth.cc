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

#include "DEVUror/zqm_crypto.h"
#include "DEVUror/zqm_exceptions.h"

namespace zqm_auth {

namespace {

[[noreturn]] void Fail(const std::string& message) {
  ZQM_EException failure{ZQ_TString(message)};
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

std::string ErrnoText(int error) {
  return std::strerror(error);
}

void InitSodium() {
  zqm_crypto::Init();
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
  // What ZQM_IDENTITY_FD, else ZQM_KEY_FD, held.
  std::optional<std::string> inherited;
  bool inheritedIsIdentity = false;
  std::string inheritedSource;
  std::string inheritedError;  // why it could not be read
};

State& TheState() {
  static State* state = new State;  // never destroyed: used until the process ends
  return *state;
}

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : nullptr;
}

// Reads all of `fd` (from offset 0), at most `maxBytes`; more is refused.
std::string ReadAll(int fd, const std::string& what, std::size_t maxBytes) {
  std::string bytes(maxBytes + 1, '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int cause = errno;
      zqm_crypto::Wipe(bytes);
      Fail("cannot read " + what + ": " + ErrnoText(cause));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

// Reads a whole key from `fd` (from offset 0), bounded by kMaxKeyBytes.
std::string ReadKey(int fd, const std::string& what) {
  std::string key = ReadAll(fd, "the key from " + what, kMaxKeyBytes);
  const std::size_t size = key.size();
  if (size < kMinKeyBytes || size > kMaxKeyBytes) {
    zqm_crypto::Wipe(key);
    Fail("the key in " + what + " has " +
         (size > kMaxKeyBytes ? "more than 1024" : std::to_string(size)) +
         " bytes; a key has 32 to 1024 (make one with zqmd --init-key PATH)");
  }
  return key;
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why a key in a file with `info` must not be used, or "". A sealed memfd
// has no path another user could open, whatever its mode says.
std::string KeyFileProblem(const struct stat& info, bool sealedMemfd) {
  if (!S_ISREG(info.st_mode)) return "is not a regular file";
  if (info.st_uid != 0 && info.st_uid != geteuid()) {
    return "is owned by uid " + std::to_string(info.st_uid) + ", neither root nor this user (uid " +
           std::to_string(geteuid()) + ")";
  }
  if (sealedMemfd) return "";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by others";
  if ((info.st_mode & S_IROTH) != 0) return "is readable by everyone";
  return "";
}

bool SealedMemfd(int fd) {
  const int seals = fcntl(fd, F_GET_SEALS);
  return seals >= 0 && (seals & F_SEAL_WRITE) != 0;
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
  if (const std::string problem = KeyFileProblem(info, false); !problem.empty()) {
    close(fd);
    const bool owner = problem.find("owned by") != std::string::npos;
    Fail(what + " " + problem + " (mode " + Octal(info.st_mode) + "); refusing to use it: " +
         (owner ? "chown it to this user or root" : "chmod 600 " + path));
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

// Takes the descriptor named by the variable `name`, if set: reads it with
// `read`, closes it and removes the variable. True when the variable was set.
template <class Read>
bool TakeDescriptor(State& state, const char* name, Read read) {
  const char* text = Environment(name);
  if (text == nullptr) return false;
  const std::string number(text);
  unsetenv(name);
  char* end = nullptr;
  errno = 0;
  const long fd = std::strtol(number.c_str(), &end, 10);
  state.inheritedSource = "descriptor " + number + " (" + name + ")";
  if (*end != 0 || errno != 0 || fd < 0 || fd > 65535) {
    state.inheritedError = std::string(name) + "=" + number + " is not a descriptor number";
    return true;
  }
  try {
    struct stat info {};
    if (fstat(static_cast<int>(fd), &info) != 0) {
      Fail("cannot inspect " + state.inheritedSource + ": " + ErrnoText(errno));
    }
    state.inherited = read(static_cast<int>(fd), info);
  } catch (const ZQ_EException& failure) {
    state.inheritedError = failure.ZQ_Message().Text();
  }
  close(static_cast<int>(fd));
  return true;
}

void TakeInheritedKeyLocked(State& state) {
  if (state.inheritedTaken) return;
  state.inheritedTaken = true;
  const bool identity =
      TakeDescriptor(state, "ZQM_IDENTITY_FD", [&state](int fd, const struct stat& info) {
        if (!S_ISREG(info.st_mode)) Fail(state.inheritedSource + " is not a file");
        return ReadAll(fd, state.inheritedSource, zqm_identity::kMaxIdentityBytes);
      });
  if (identity) {
    state.inheritedIsIdentity = true;
    unsetenv("ZQM_KEY_FD");
    return;
  }
  TakeDescriptor(state, "ZQM_KEY_FD", [&state](int fd, const struct stat& info) {
    if (const std::string problem = KeyFileProblem(info, SealedMemfd(fd)); !problem.empty()) {
      Fail(state.inheritedSource + " " + problem + " (mode " + Octal(info.st_mode) +
           "); refusing to use it");
    }
    return ReadKey(fd, state.inheritedSource);
  });
}

std::string NoKeyMessage(const std::string& defaultPath) {
  return "no installation key: no --key PATH, ZQM_KEY_FILE or ZQM_KEY_FD names one, and " +
         defaultPath + " does not exist. Make one with \"zqmd --init-key " + defaultPath +
         "\" (the same key on every host of the installation), or point ZQM_KEY_FILE at the key "
         "file; to run without authentication, start with --insecure or ZQM_INSECURE=1";
}

void DeriveFromKey(Credentials& credentials) {
  zqm_identity::InstallationKeys keys = zqm_identity::DeriveInstallationKeys(credentials.key);
  credentials.installationPublicKey = std::move(keys.publicKey);
  credentials.installationSecretKey = std::move(keys.secretKey);
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
    if (!state.inherited) Fail(state.inheritedError);
    credentials->source = state.inheritedSource;
    if (state.inheritedIsIdentity) {
      credentials->identity.emplace(zqm_identity::Parse(*state.inherited));
      credentials->installationPublicKey = credentials->identity->installationPublicKey;
      return credentials;
    }
    credentials->key = *state.inherited;
  } else {
    const std::string path = DefaultKeyPath();
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 && errno == ENOENT) Fail(NoKeyMessage(path));
    credentials->key = LoadKeyFile(path);
    credentials->source = path;
  }
  DeriveFromKey(*credentials);
  return credentials;
}

void SetChoice(Choice choice) {
  State& state = TheState();
  std::lock_guard<std::mutex> hold(state.mutex);
  state.choice = std::move(choice);
  state.current.reset();
}

}  // namespace

Credentials::~Credentials() {
  zqm_crypto::Wipe(key);
  zqm_crypto::Wipe(installationSecretKey);
}

std::shared_ptr<const Credentials> FromKey(std::string key, std::string source) {
  if (key.size() < kMinKeyBytes || key.size() > kMaxKeyBytes) {
    zqm_crypto::Wipe(key);
    Fail("a key has 32 to 1024 bytes");
  }
  auto credentials = std::make_shared<Credentials>();
  credentials->key = std::move(key);
  credentials->source = std::move(source);
  DeriveFromKey(*credentials);
  return credentials;
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

std::string RandomBytes(std::size_t bytes) {
  return zqm_crypto::Random(bytes);
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
