// The module's fixed identities, shared by every installed instance.
// Read by the C++ sources and by the type library's IDL (through widl's preprocessor).
#pragma once

// AppID of the module: names HKEY_CLASSES_ROOT\AppID\{...} that holds "LocalService".
#define ZELT_APPID_TEXT L"{B3F0C6A2-8E41-4D57-9A2C-61E5D7F4A913}"

// Library GUID of the type library resource "TYPELIB" 1.
#define ZELT_LIBID 7C2D9A41-5B3E-4F08-9D61-2E8A4C7B1F35
#define ZELT_LIBID_TEXT L"{7C2D9A41-5B3E-4F08-9D61-2E8A4C7B1F35}"
