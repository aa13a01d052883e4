// The resources the shell and Windows Explorer rely on: both icon groups with
// their eight images, the version numbers and the original file name.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <utility>

#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved, type, count;
    GroupIconEntry entries[1];
};
#pragma pack(pop)

class ProgramResources : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ModuleDir() + L"VELATRIX.EXE";
        module_ = LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module_);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }
    std::wstring path_;
    HMODULE module_ = nullptr;
};

TEST_F(ProgramResources, BothIconGroupsHoldTheEightImages) {
    const std::set<std::pair<int, int>> expected = {{32, 4}, {16, 4}, {48, 8}, {32, 8},
                                                    {16, 8}, {48, 32}, {32, 32}, {16, 32}};
    for (int group : {107, 108}) {
        SCOPED_TRACE(group);
        HRSRC info = FindResourceW(module_, MAKEINTRESOURCEW(group), RT_GROUP_ICON);
        ASSERT_NE(nullptr, info);
        const auto* header = static_cast<const GroupIconHeader*>(LockResource(LoadResource(module_, info)));
        ASSERT_NE(nullptr, header);
        std::set<std::pair<int, int>> seen;
        for (int i = 0; i < header->count; ++i) {
            int size = header->entries[i].width ? header->entries[i].width : 256;
            seen.insert({size, header->entries[i].bitCount});
        }
        EXPECT_EQ(8, header->count);
        EXPECT_EQ(expected, seen);
    }
}

TEST_F(ProgramResources, NoAcceleratorTableAndNoMenu) {
    EXPECT_EQ(nullptr, FindResourceW(module_, MAKEINTRESOURCEW(109), RT_ACCELERATOR));
    EXPECT_EQ(nullptr, FindResourceW(module_, MAKEINTRESOURCEW(109), RT_MENU));
}

TEST_F(ProgramResources, VersionAndOriginalFileName) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
    ASSERT_NE(0u, size);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, &block[0]));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(0, 7), fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwProductVersionMS);
    EXPECT_EQ(0u, fixed->dwProductVersionLS);
    wchar_t* name = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename",
                               reinterpret_cast<void**>(&name), &length));
    EXPECT_STREQ(L"VELATRIX.EXE", name);
}

TEST_F(ProgramResources, ManifestAsksForAsInvokerWithoutUiAccess) {
    HRSRC info = FindResourceW(module_, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(nullptr, info);
    const char* text = static_cast<const char*>(LockResource(LoadResource(module_, info)));
    std::string manifest(text, SizeofResource(module_, info));
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
}

}  // namespace
