// The exported core, called by native code that loads the shared object through the dynamic
// loader, in a process that provides the interpreter's C interface but never starts it.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using CoreFunction = int (*)(int, int);

struct Core {
  CoreFunction add = nullptr;
  CoreFunction sub = nullptr;
};

const Core& core() {
  static const Core loaded = [] {
    Core found;
    void* handle = dlopen(ZELK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      ADD_FAILURE() << "dlopen: " << dlerror();
      return found;
    }
    found.add = reinterpret_cast<CoreFunction>(dlsym(handle, "add"));
    found.sub = reinterpret_cast<CoreFunction>(dlsym(handle, "sub"));
    return found;
  }();
  return loaded;
}

struct Case {
  const char* function;
  int a;
  int b;
  int expected;
};

TEST(Core, ResultsWrapModulo2To32) {
  ASSERT_NE(core().add, nullptr);
  ASSERT_NE(core().sub, nullptr);
  const Case cases[] = {
      {"add", 2, 3, 5},
      {"add", -7, 7, 0},
      {"add", INT_MAX, 1, INT_MIN},
      {"add", -1, INT_MIN, INT_MAX},
      {"add", INT_MIN, INT_MIN, 0},
      {"sub", 5, 7, -2},
      {"sub", 0, INT_MIN, INT_MIN},
      {"sub", INT_MIN, 1, INT_MAX},
      {"sub", INT_MAX, -1, INT_MIN},
  };
  for (const Case& c : cases) {
    const CoreFunction f = std::string(c.function) == "add" ? core().add : core().sub;
    EXPECT_EQ(f(c.a, c.b), c.expected) << c.function << "(" << c.a << ", " << c.b << ")";
  }
}

off_t size_of_stdout() {
  struct stat status;
  return fstat(STDOUT_FILENO, &status) == 0 ? status.st_size : -1;
}

// In a child whose stdout is a fresh file: what `calls` writes before and after a flush.
std::string c_stdout_of(void (*calls)(const Core&), off_t* size_before_flush) {
  char path[] = "/tmp/zelk_core_stdoutXXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "<mkstemp failed>";
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    dup2(fd, STDOUT_FILENO);
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    calls(core());
    const off_t before = size_of_stdout();
    std::fflush(stdout);
    // The unflushed size travels back as the exit status (0 means nothing reached the file).
    _exit(before > 250 ? 250 : static_cast<int>(before));
  }
  int status = 0;
  waitpid(child, &status, 0);
  *size_before_flush = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream written(path);
  std::stringstream text;
  text << written.rdbuf();
  close(fd);
  unlink(path);
  return text.str();
}

TEST(Core, AddWritesToBufferedCStdoutWithoutFlushing) {
  ASSERT_NE(core().add, nullptr);
  off_t before_flush = -1;
  const std::string written = c_stdout_of(
      [](const Core& c) {
        for (int i = 0; i < 10; ++i) c.add(2, 3);
      },
      &before_flush);
  EXPECT_EQ(before_flush, 0);
  EXPECT_EQ(written, "AddAddAddAddAddAddAddAddAddAdd");
}

TEST(Core, SubWritesNothing) {
  ASSERT_NE(core().sub, nullptr);
  off_t before_flush = -1;
  const std::string written = c_stdout_of([](const Core& c) { c.sub(5, 7); }, &before_flush);
  EXPECT_EQ(before_flush, 0);
  EXPECT_EQ(written, "");
}

}  // namespace
