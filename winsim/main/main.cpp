// The process entry of winsim programs: the product's entry is wmain, as on
// Windows; this main converts the UTF-8 arguments to wide strings, makes the
// entry known to the simulated SCM and runs it.
#include <winsim/sim/machine.h>
#include <winsim/sim/process_entry.h>
#include <winsim/sim/text.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv);

namespace {

// The simulated console is UTF-8, so that wide output of any character
// reaches it whatever the host's locale says.
void UseUtf8Console() {
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "");
}

// The process's machine folder must take files before the product runs on
// it: one that cannot is refused as a bad WINSIM_ROOT is, with status 2.
bool MachineFolderUsable() {
  const auto& root = winsim::CurrentMachine().config().root;
  const std::string problem = winsim::MachineFolderProblem(root);
  if (problem.empty()) return true;
  std::fprintf(stderr, "winsim: WINSIM_ROOT: the machine folder %s cannot be used: %s\n", root.c_str(), problem.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  UseUtf8Console();
  if (!MachineFolderUsable()) return 2;
  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<size_t>(argc > 0 ? argc : 0));
  for (int i = 0; i < argc; ++i) arguments.push_back(winsim::WideFromUtf8(argv[i] ? argv[i] : ""));
  std::vector<wchar_t*> pointers;
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  winsim::SetProcessEntry(wmain);
  return wmain(static_cast<int>(arguments.size()), pointers.data());
}
