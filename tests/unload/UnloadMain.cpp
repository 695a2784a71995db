// A host that unloads the driver while cameras still grab, without the last
// finalize. The workers must never run unloaded code: the process keeps
// running for a while afterwards and must end normally.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "driver/Orvella.h"

namespace {

#ifdef _WIN32
using Handle = HMODULE;
Handle Load(const char* path) { return LoadLibraryA(path); }
void* Find(Handle h, const char* name) { return reinterpret_cast<void*>(GetProcAddress(h, name)); }
void Unload(Handle h) { FreeLibrary(h); }
#else
using Handle = void*;
Handle Load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* Find(Handle h, const char* name) { return dlsym(h, name); }
void Unload(Handle h) { dlclose(h); }
#endif

template <typename F>
F Get(Handle h, const char* name) {
  F f = reinterpret_cast<F>(Find(h, name));
  if (!f) {
    std::fprintf(stderr, "missing export %s\n", name);
    std::exit(2);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LIBRARY DIR\n", argv[0]);
    return 2;
  }
  const char* port = std::getenv("ORVELLA_HTTP_PORT");
  std::string url = std::string("http://127.0.0.1:") + (port ? port : "9") + "/files/pattern_320x240.jpg";
  std::ofstream(std::string(argv[2]) + "/Orvella.ini")
      << "[Camera 1]\nImageUrl=" << url << "\nRefreshRate=60\n[Camera 2]\nImageUrl=http://127.0.0.1:"
      << (port ? port : "9") << "/hang\nRefreshRate=60\n";

  Handle lib = Load(argv[1]);
  if (!lib) {
    std::fprintf(stderr, "cannot load %s\n", argv[1]);
    return 2;
  }
  auto init = Get<decltype(&initialize)>(lib, "initialize");
  auto open = Get<decltype(&openCVLPort)>(lib, "openCVLPort");
  auto set = Get<decltype(&setProperty)>(lib, "setProperty");
  if (!init(argv[2], nullptr)) return 1;
  int size[2];
  if (!open(0, 1, "Camera 1", size) || !open(0, 2, "Camera 2", size)) return 1;
  set(0, 1, "continuous", 1);
  set(0, 2, "continuous", 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Unload(lib);  // no finalize: both workers are still running
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::puts("unloaded with cameras running; process still healthy");
  return 0;
}
