// The registration of the class table as COM classes, with the type library.
#include <gtest/gtest.h>

#include <string>

#include "resources/Guids.h"
#include "runtime/ComRegistration.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

const std::wstring kLibraryKey = std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT;

TEST(ComRegistration, EmptyClassTableLeavesOnlyTheLibrary)
{
    const CSavedModuleRegistration registration;
    CScopedRecords records;
    CoInitialize(nullptr);
    EXPECT_EQ(S_OK, RegisterComClasses(false, nullptr));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey));
    EXPECT_EQ(S_OK, RegisterComClasses(true, nullptr));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0"));
    EXPECT_EQ(S_OK, UnregisterComClasses(true, nullptr));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0"));
    CoUninitialize();
}

}  // namespace
