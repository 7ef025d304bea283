// What the statically linked C++ runtime does when std::terminate is called:
// end the process, as its default handler does, without first writing the
// exception's type to the standard error stream.
//
// The default handler demangles that type name, and the demangler and the
// formatted output it needs are about a sixth of the DLL. A tray process has
// no console to show the line, and nothing of ours can reach std::terminate:
// every export and the report thread catch everything.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
