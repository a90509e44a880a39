// The C++ library's throw helpers, for the shipped program alone. The
// library's own helpers sit in one object with every standard exception's
// construction, and std::logic_error's and std::runtime_error's messages bring
// a second, reference-counted string library, the narrow string and a random
// device with them: over 50 KB of a program bound to 300 KB. Here the
// exceptions without a message keep their standard types; those with one (a
// string or vector asked for a position past its end, or for more than its
// largest size: a defect, or a size no allocation meets) are a CLibraryError,
// an std::exception that carries the library's message. The program's
// handlers catch them as before: its catch-alls do, and its std::bad_alloc
// handlers never did. All fifteen helpers are here, so the library's object
// never joins the link (should it, the duplicate definitions stop the link).
// The tests link the library's own helpers: this file is not in zeltcore.
#include <bits/functexcept.h>

#include <exception>
#include <new>
#include <typeinfo>

namespace {

class CLibraryError : public std::exception
{
public:
    explicit CLibraryError(const char* message) noexcept : m_pszMessage(message) {}
    const char* what() const noexcept override { return m_pszMessage; }

private:
    const char* m_pszMessage;  // the library's literal, static
};

[[noreturn]] void ThrowLibraryError(const char* message)
{
    throw CLibraryError(message);
}

}  // namespace

namespace std {

void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_logic_error(const char* message) { ThrowLibraryError(message); }
void __throw_domain_error(const char* message) { ThrowLibraryError(message); }
void __throw_invalid_argument(const char* message) { ThrowLibraryError(message); }
void __throw_length_error(const char* message) { ThrowLibraryError(message); }
void __throw_out_of_range(const char* message) { ThrowLibraryError(message); }
// The message keeps its format's place holders: no handler reads it.
void __throw_out_of_range_fmt(const char* format, ...) { ThrowLibraryError(format); }
void __throw_runtime_error(const char* message) { ThrowLibraryError(message); }
void __throw_range_error(const char* message) { ThrowLibraryError(message); }
void __throw_overflow_error(const char* message) { ThrowLibraryError(message); }
void __throw_underflow_error(const char* message) { ThrowLibraryError(message); }

}  // namespace std
