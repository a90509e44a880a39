// The growable output of script expansion. It always holds a NUL after its
// content; on success its text passes to the caller.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>

class ExpansionBuffer
{
public:
    // The first capacity is twice the input length, or 1000 units when that is
    // below 100. False when no buffer can be had.
    bool Allocate(size_t inputUnits);

    // Appends `units` units of `text`; false when the buffer cannot grow.
    bool Append(const wchar_t* text, size_t units);
    bool Append(const wchar_t* text);

    const wchar_t* Text() const { return m_pText.get(); }
    size_t Length() const { return m_length; }
    size_t Capacity() const { return m_capacity; }

    // Hands the text over to the caller; the buffer is empty afterwards.
    std::unique_ptr<wchar_t[]> Detach();

    // Above this many units the capacity is not doubled again.
    static constexpr size_t kMaxDoublingCapacity = 0x3FFFFFFF;

private:
    bool Grow(size_t neededUnits);

    std::unique_ptr<wchar_t[]> m_pText;
    size_t m_length = 0;
    size_t m_capacity = 0;
};
