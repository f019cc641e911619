// Resources of the running module: a table of blobs registered at start-up. Names and types
// are either integer ids or strings; strings compare without regard to case, as on Windows.
#include "platform/posix/resources.h"
#include "platform/posix/codepage.h"
#include "platform/posix/control.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace {

struct Blob {
    const void* data;
    DWORD size;
};

// A resource name or type: an integer id, or an upper-cased string.
std::wstring Key(LPCWSTR nameOrId) {
    if (IS_INTRESOURCE(nameOrId)) {
        return L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(nameOrId));
    }
    std::wstring s(nameOrId);
    if (s.empty() || s[0] == L'#') { // "#1000" names the integer id 1000
        return s;
    }
    CharUpperW(&s[0]);
    return s;
}

std::mutex g_lock;
std::map<std::pair<std::wstring, std::wstring>, Blob>& Table() {
    static std::map<std::pair<std::wstring, std::wstring>, Blob> table;
    return table;
}

int g_module; // its address is the handle of the running module

} // namespace

namespace zxposix {

bool RegisterResource(const wchar_t* type, int id, const void* data, size_t size) {
    std::lock_guard<std::mutex> guard(g_lock);
    Table()[{Key(type), Key(MAKEINTRESOURCEW(id))}] = Blob{data, static_cast<DWORD>(size)};
    return true;
}

} // namespace zxposix

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (moduleName != nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(&g_module);
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    if ((module != nullptr && module != GetModuleHandleW(nullptr)) || name == nullptr ||
        type == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    auto& table = Table();
    auto it = table.find({Key(type), Key(name)});
    if (it == table.end()) {
        bool typeKnown = false;
        for (auto& entry : table) {
            typeKnown = typeKnown || entry.first.first == Key(type);
        }
        SetLastError(typeKnown ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(&it->second);
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
    if (resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void*>(reinterpret_cast<Blob*>(resource)->data);
}

LPVOID LockResource(HGLOBAL data) {
    return data;
}

DWORD SizeofResource(HMODULE, HRSRC resource) {
    if (resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return reinterpret_cast<Blob*>(resource)->size;
}
