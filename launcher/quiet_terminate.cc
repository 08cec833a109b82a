// The handler std::terminate calls, for the shipped stub. The stub throws no exceptions of its
// own; one from the C++ library (an allocation that fails) ends the stub by SIGABRT, whose
// clean-up runs as for any terminating signal. The runtime's default handler would first print
// the exception's demangled type, and the demangler it links is about 40 KB of the stub's
// size. Defining the handler variable here keeps the runtime's own definition, and with it the
// demangler, out of the link; std::abort is the runtime's own choice when it is built without
// that message.

#include <cstdlib>
#include <exception>

namespace __cxxabiv1 {
std::terminate_handler __terminate_handler = std::abort;
}  // namespace __cxxabiv1
