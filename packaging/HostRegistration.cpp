#include "HostRegistration.h"

#include <windows.h>

#include <map>

#include "base/Handles.h"

namespace {

// Each resource of a type by its name ("#n" for a number), with its bytes.
using ResourceImages = std::map<std::wstring, std::string>;

BOOL CALLBACK NoteResource(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context)
{
    ResourceImages& images = *reinterpret_cast<ResourceImages*>(context);
    const std::wstring key = IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)) : name;
    const HRSRC found = FindResourceW(module, name, type);
    const HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    images[key] = bytes != nullptr ? std::string(static_cast<const char*>(bytes), SizeofResource(module, found))
                                   : std::string();
    return TRUE;
}

bool ReadResources(const std::wstring& path, const wchar_t* type, ResourceImages& images)
{
    const CLibraryHandle module(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module)
        return false;
    // A type the program does not carry leaves the map empty.
    EnumResourceNamesW(module.Get(), type, NoteResource, reinterpret_cast<LONG_PTR>(&images));
    return true;
}

}  // namespace

bool HasSameRegistration(const std::wstring& left, const std::wstring& right)
{
    for (const wchar_t* type : {L"REGISTRY", L"TYPELIB"})
    {
        ResourceImages leftImages;
        ResourceImages rightImages;
        if (!ReadResources(left, type, leftImages) || !ReadResources(right, type, rightImages) ||
            leftImages != rightImages)
            return false;
    }
    return true;
}
