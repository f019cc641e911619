#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A fresh folder under the system temp folder, removed afterwards; `win` is its Windows form.
class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zxfiles_XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        root = pattern;
        win = L"C:";
        for (char c : root) {
            win += c == '/' ? L'\\' : static_cast<WCHAR>(c);
        }
    }
    void TearDown() override {
        EXPECT_EQ(chdir(cwd), 0);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::wstring W(const std::wstring& name) const { return win + L"\\" + name; }
    void Write(const std::wstring& name, const std::string& bytes) {
        HANDLE h = CreateFileW(W(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
        CloseHandle(h);
    }
    std::vector<std::wstring> List(const std::wstring& pattern, std::vector<DWORD>* attrs) {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE h = FindFirstFileW(W(pattern).c_str(), &data);
        if (h == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            names.push_back(data.cFileName);
            if (attrs != nullptr) {
                attrs->push_back(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
            }
        } while (FindNextFileW(h, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        return names;
    }
    char cwd[4096] = {};
    std::string root;
    std::wstring win;
};

TEST_F(FilesTest, CreateReadWriteAndDispositions) {
    Write(L"a.bin", "hello world");
    HANDLE h = CreateFileW(W(L"a.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 11u);
    EXPECT_EQ(high, 0u);
    char buf[32] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buf, 32, &got, nullptr));
    EXPECT_EQ(got, 11u);
    EXPECT_EQ(std::string(buf, got), "hello world");
    ASSERT_TRUE(ReadFile(h, buf, 32, &got, nullptr)); // end of file: success, nothing read
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(WriteFile(h, "x", 1, &got, nullptr)); // opened for reading only
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);

    // CREATE_ALWAYS replaces the file and says it existed.
    h = CreateFileW(W(L"a.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    CloseHandle(h);
    h = CreateFileW(W(L"new.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(h);

    EXPECT_EQ(CreateFileW(W(L"a.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(
        CreateFileW(W(L"none.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(W(L"nodir\\none.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // A folder does not open as a file.
    ASSERT_TRUE(CreateDirectoryW(W(L"sub").c_str(), nullptr));
    EXPECT_EQ(CreateFileW(W(L"sub").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(
        CreateFileW(W(L"a.bin\\").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(CreateFileW(W(L"*.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    // Slashes separate too, and . and .. resolve on the text.
    std::wstring slashed = win + L"/sub/../a.bin";
    h = CreateFileW(slashed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(FilesTest, ShareModesOfOpenHandles) {
    Write(L"s.bin", "data");
    HANDLE reader = CreateFileW(W(L"s.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    // A second reader that shares reading fits; a writer does not.
    HANDLE second = CreateFileW(W(L"s.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    EXPECT_EQ(CreateFileW(W(L"s.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // A reader that refuses to share with the open reader does not fit either.
    EXPECT_EQ(CreateFileW(W(L"s.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // CREATE_ALWAYS on a file that is open without write sharing leaves it intact.
    EXPECT_EQ(CreateFileW(W(L"s.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(reader, nullptr), 4u);
    EXPECT_FALSE(DeleteFileW(W(L"s.bin").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);
    HANDLE writer =
        CreateFileW(W(L"s.bin").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    CloseHandle(writer);
    EXPECT_TRUE(DeleteFileW(W(L"s.bin").c_str()));
}

TEST_F(FilesTest, FilePointer) {
    Write(L"p.bin", "0123456789");
    HANDLE h = CreateFileW(W(L"p.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 7u);
    char c[2] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, c, 1, &got, nullptr));
    EXPECT_EQ(c[0], '7');
    EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_BEGIN), 2u);
    EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_CURRENT), 5u);
    LONG highPart = 0;
    EXPECT_EQ(SetFilePointer(h, 1, &highPart, FILE_CURRENT), 6u);
    EXPECT_EQ(highPart, 0);
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 6u); // not moved
    // Past 4 GiB (a sparse file): the low part is returned, the high part comes back through
    // the pointer.
    highPart = 1;
    EXPECT_EQ(SetFilePointer(h, 5, &highPart, FILE_BEGIN), 5u);
    EXPECT_EQ(highPart, 1);
    ASSERT_TRUE(WriteFile(h, "Z", 1, &got, nullptr));
    DWORD sizeHigh = 0;
    EXPECT_EQ(GetFileSize(h, &sizeHigh), 6u);
    EXPECT_EQ(sizeHigh, 1u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER); // needs 33 bits
    CloseHandle(h);
}

TEST_F(FilesTest, FoldersAndAttributes) {
    EXPECT_TRUE(CreateDirectoryW(W(L"sub").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(W(L"sub").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(W(L"no\\deeper").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    Write(L"f.txt", "abc");

    EXPECT_EQ(GetFileAttributesW(W(L"sub").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0x10u);
    DWORD fileAttributes = GetFileAttributesW(W(L"f.txt").c_str());
    ASSERT_NE(fileAttributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(fileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesW(W(L"gone").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_FALSE(DeleteFileW(W(L"sub").c_str())); // a folder is no file
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(W(L"gone").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(RemoveDirectoryW(W(L"f.txt").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(RemoveDirectoryW(W(L"gone").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(CreateDirectoryW(W(L"sub\\inner").c_str(), nullptr));
    EXPECT_FALSE(RemoveDirectoryW(W(L"sub").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(RemoveDirectoryW(W(L"sub\\inner").c_str()));
    EXPECT_TRUE(RemoveDirectoryW(W(L"sub").c_str()));
    EXPECT_EQ(GetFileAttributesW(W(L"sub").c_str()), INVALID_FILE_ATTRIBUTES);
}

// \\?\ alone names no file: the file calls refuse it as an invalid name (Wine's kernel32 gives
// the same), rather than taking what follows, nothing, for the current directory.
TEST_F(FilesTest, LongPathPrefixAloneIsAnInvalidName) {
    ASSERT_EQ(chdir(root.c_str()), 0);
    struct Case {
        const char* form;
        const WCHAR* name;
    };
    for (const Case& c : {Case{"backslashes", L"\\\\?\\"}, Case{"slashes", L"//?/"}}) {
        SCOPED_TRACE(c.form);
        const WCHAR* name = c.name;
        SetLastError(0);
        EXPECT_EQ(CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesW(name), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        SetLastError(0);
        EXPECT_FALSE(DeleteFileW(name));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    }
    // Before a full path the prefix is dropped.
    Write(L"f.txt", "abc");
    std::wstring prefixed = L"\\\\?\\" + W(L"f.txt");
    EXPECT_EQ(GetFileAttributesW(prefixed.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(DeleteFileW(prefixed.c_str()));
    EXPECT_EQ(GetFileAttributesW(W(L"f.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FilesTest, SearchPatterns) {
    Write(L"file1.txt", "1");
    Write(L"FILE2.TXT", "22");
    Write(L"file10.txt", "333");
    Write(L"file.txt", "");
    Write(L"README", "four");
    ASSERT_TRUE(CreateDirectoryW(W(L"sub").c_str(), nullptr));

    // *.* is every name, with or without a dot, after . and .. of the folder.
    std::vector<DWORD> dirs;
    std::vector<std::wstring> all = List(L"*.*", &dirs);
    ASSERT_EQ(all, (std::vector<std::wstring>{L".", L"..", L"file.txt", L"file1.txt", L"file10.txt",
                                              L"FILE2.TXT", L"README", L"sub"}));
    EXPECT_EQ(dirs, (std::vector<DWORD>{0x10, 0x10, 0, 0, 0, 0, 0, 0x10}));
    EXPECT_EQ(List(L"*", nullptr), all);

    // ? is one character, or none before the dot; letters match without regard to case.
    EXPECT_EQ(List(L"file?.txt", nullptr),
              (std::vector<std::wstring>{L"file.txt", L"file1.txt", L"FILE2.TXT"}));
    EXPECT_EQ(List(L"*.TXT", nullptr),
              (std::vector<std::wstring>{L"file.txt", L"file1.txt", L"file10.txt", L"FILE2.TXT"}));
    EXPECT_EQ(List(L"readme", nullptr), std::vector<std::wstring>{}); // names are exact

    // A plain path finds that file or folder itself, with its size.
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(W(L"sub").c_str(), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::wstring(data.cFileName), L"sub");
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0x10u);
    EXPECT_FALSE(FindNextFileW(h, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    FindClose(h);
    h = FindFirstFileW(W(L"README").c_str(), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.nFileSizeLow, 4u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    FindClose(h);

    EXPECT_EQ(FindFirstFileW(W(L"*.bin").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW(W(L"missing\\*.*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW(W(L"sub\\").c_str(), &data), INVALID_HANDLE_VALUE);
    h = FindFirstFileW(W(L"sub\\*").c_str(), &data); // an empty folder still lists . and ..
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::wstring(data.cFileName), L".");
    FindClose(h);
    EXPECT_FALSE(FindClose(reinterpret_cast<HANDLE>(0x12345)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FilesTest, EmptyingAFolderWithASubFolderLeavesItInPlace) {
    Write(L"ReflashInfo.ini", "[UPDATEINFO]\r\n");
    Write(L"fw.bin", "image");
    ASSERT_TRUE(CreateDirectoryW(W(L"nested").c_str(), nullptr));
    Write(L"nested\\inner.bin", "x");
    ASSERT_TRUE(SetCurrentDirectoryW(W(L"..").c_str()));

    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(W(L"*.*").c_str(), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> deleted;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            EXPECT_TRUE(DeleteFileW(W(data.cFileName).c_str()));
            deleted.push_back(data.cFileName);
        }
    } while (FindNextFileW(h, &data));
    FindClose(h);
    EXPECT_EQ(deleted, (std::vector<std::wstring>{L"fw.bin", L"ReflashInfo.ini"}));
    EXPECT_FALSE(RemoveDirectoryW(win.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_NE(GetFileAttributesW(W(L"nested\\inner.bin").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FilesTest, TempPathHasExactlyOneTrailingSeparator) {
    const char* saved = std::getenv("TMPDIR");
    std::string keep = saved != nullptr ? saved : "";
    WCHAR buf[MAX_PATH];

    setenv("TMPDIR", "/var//tmp/", 1);
    EXPECT_EQ(GetTempPathW(MAX_PATH, buf), 11u);
    EXPECT_EQ(std::wstring(buf), L"C:\\var\\tmp\\");
    // Too small a buffer: the size needed, terminator included; nothing written.
    buf[0] = L'#';
    EXPECT_EQ(GetTempPathW(11, buf), 12u);
    EXPECT_EQ(buf[0], L'#');
    EXPECT_EQ(GetTempPathW(0, nullptr), 12u);
    EXPECT_EQ(GetTempPathW(12, buf), 11u);

    unsetenv("TMPDIR");
    EXPECT_EQ(GetTempPathW(MAX_PATH, buf), 7u);
    EXPECT_EQ(std::wstring(buf), L"C:\\tmp\\");
    if (saved != nullptr) {
        setenv("TMPDIR", keep.c_str(), 1);
    }
}

TEST_F(FilesTest, CurrentDirectoryAndModuleName) {
    WCHAR before[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, before), 0u);
    ASSERT_TRUE(CreateDirectoryW(W(L"sub").c_str(), nullptr));
    ASSERT_TRUE(SetCurrentDirectoryW(W(L"sub\\..\\sub").c_str()));
    WCHAR now[MAX_PATH];
    std::wstring expected = W(L"sub");
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, now), expected.size());
    EXPECT_EQ(std::wstring(now), expected);
    EXPECT_EQ(GetCurrentDirectoryW(0, nullptr), expected.size() + 1);
    // Relative names start from the current directory.
    HANDLE h = CreateFileW(L"rel.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_NE(GetFileAttributesW(W(L"sub\\rel.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    // The current directory cannot be removed; a file is no directory to change to.
    ASSERT_TRUE(DeleteFileW(L"rel.txt"));
    EXPECT_FALSE(RemoveDirectoryW(W(L"sub").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    Write(L"plain", "");
    EXPECT_FALSE(SetCurrentDirectoryW(W(L"plain").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(SetCurrentDirectoryW(W(L"gone").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(SetCurrentDirectoryW(before));

    WCHAR module[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
    ASSERT_GT(n, 0u);
    std::wstring name(module, n);
    EXPECT_EQ(name.substr(0, 3), L"C:\\");
    EXPECT_EQ(name.substr(name.size() - 15), L"\\platform_tests");
    WCHAR small[5];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(small), L"C:\\" + name.substr(3, 1));
}

} // namespace
