#include "DEVUror/zqm_modules.h"

#include <dlfcn.h>

#include <stdexcept>

#include "DEVUror/devuror.h"

namespace zqm_modules {

std::string PathBesideRuntime(const std::string& file) {
  Dl_info runtime{};
  if (dladdr(reinterpret_cast<void*>(&__ZQ_INITIALIZATION_FUNCTION_DEVUror__), &runtime) == 0 ||
      runtime.dli_fname == nullptr) {
    return file;
  }
  const std::string runtimePath = runtime.dli_fname;
  const std::size_t slash = runtimePath.rfind('/');
  return slash == std::string::npos ? file : runtimePath.substr(0, slash + 1) + file;
}

Module::Module(const std::string& file)
    : file_(file), handle_(dlopen(PathBesideRuntime(file).c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) {
    throw std::runtime_error("the module " + file +
                             " (installed with the program) cannot be loaded: " + dlerror());
  }
}

Module::~Module() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* Module::Symbol(const char* name) const {
  void* entry = handle_ == nullptr ? nullptr : dlsym(handle_, name);
  if (entry == nullptr)
    throw std::runtime_error(file_ + " is not this program's module: it has no " + name);
  return entry;
}

}  // namespace zqm_modules
