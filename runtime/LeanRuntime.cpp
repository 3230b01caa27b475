// Parts of the C++ runtime that Setup.exe and talvikctl.exe bring their own of, linked before the
// runtime's archives so that the runtime's versions stay out of the images.
//
// Out of the box, an exception nobody catches ends in the runtime's verbose terminate handler,
// which names the exception's type through the runtime's demangler (45 KB), and the library's
// throw helpers for logic errors (a string or vector asked for more than it can hold, a position
// past the end) build exception objects whose text is a reference-counted string, which brings
// in a second complete string implementation (about 50 KB with its unwind tables).
//
// Neither program catches any of these: the only handler in either, around the setup's display
// snapshot, takes std::bad_alloc. So a logic error ends the program exactly as before - through
// abort() - only without first printing its type, and running out of memory still throws what it
// threw before.
//
// Only the helpers the two programs use are here. Code that starts using another one (say
// std::function's) brings the runtime's own file of helpers back, and the link then fails with a
// multiple definition of one of these: add the new helper here, or drop this file from the
// program if it needs to catch it.
#include <cstdlib>
#include <new>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

} // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() {
    throw std::bad_alloc();
}

void __throw_bad_array_new_length() {
    throw std::bad_array_new_length();
}

void __throw_logic_error(const char*) {
    std::abort();
}

void __throw_length_error(const char*) {
    std::abort();
}

void __throw_out_of_range(const char*) {
    std::abort();
}

void __throw_out_of_range_fmt(const char*, ...) {
    std::abort();
}

void __throw_invalid_argument(const char*) {
    std::abort();
}

} // namespace std
