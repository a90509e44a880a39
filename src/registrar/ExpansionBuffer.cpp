#include "registrar/ExpansionBuffer.h"

#include <cstring>
#include <new>

bool ExpansionBuffer::Allocate(size_t inputUnits)
{
    if (inputUnits > kMaxDoublingCapacity / 2)
        return false;
    size_t capacity = inputUnits * 2;
    if (capacity < 100)
        capacity = 1000;
    m_pText.reset(new (std::nothrow) wchar_t[capacity]);
    if (!m_pText)
        return false;
    m_pText[0] = L'\0';
    m_length = 0;
    m_capacity = capacity;
    return true;
}

bool ExpansionBuffer::Append(const wchar_t* text)
{
    return Append(text, wcslen(text));
}

bool ExpansionBuffer::Append(const wchar_t* text, size_t units)
{
    if (!m_pText)
        return false;
    if (units > kMaxDoublingCapacity)
        return false;
    const size_t needed = m_length + units + 1;
    if (needed > m_capacity && !Grow(needed))
        return false;
    memcpy(m_pText.get() + m_length, text, units * sizeof(wchar_t));
    m_length += units;
    m_pText[m_length] = L'\0';
    return true;
}

// Doubles until the capacity exceeds the need; refuses to double a capacity
// that is already above the limit.
bool ExpansionBuffer::Grow(size_t neededUnits)
{
    size_t capacity = m_capacity;
    while (capacity <= neededUnits)
    {
        if (capacity > kMaxDoublingCapacity)
            return false;
        capacity *= 2;
    }
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[capacity]);
    if (!text)
        return false;
    memcpy(text.get(), m_pText.get(), (m_length + 1) * sizeof(wchar_t));
    m_pText = std::move(text);
    m_capacity = capacity;
    return true;
}

std::unique_ptr<wchar_t[]> ExpansionBuffer::Detach()
{
    m_length = 0;
    m_capacity = 0;
    return std::move(m_pText);
}
