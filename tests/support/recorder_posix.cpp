// A stand-in for a started program: records its working folder and its arguments, one a line,
// in "<own path>.rec", written whole under a temporary name and then renamed.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  char self[PATH_MAX + 1] = {};
  if (::readlink("/proc/self/exe", self, PATH_MAX) <= 0) return 1;
  char cwd[PATH_MAX + 1] = {};
  if (!::getcwd(cwd, sizeof cwd)) return 1;
  std::string record = std::string(cwd) + "\n";
  for (int i = 1; i < argc; ++i) record += std::string(argv[i]) + "\n";
  const std::string target = std::string(self) + ".rec";
  const std::string temp = target + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return 1;
  std::fwrite(record.data(), 1, record.size(), f);
  std::fclose(f);
  return std::rename(temp.c_str(), target.c_str()) == 0 ? 0 : 1;
}
