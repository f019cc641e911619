// VirtualAlloc and VirtualFree: page-aligned, zero-filled blocks. Each block is exactly the
// size asked for, so the sanitizers see a read or write past the requested length.
#include "platform/posix/memory.h"
#include "platform/posix/control.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

const size_t kPage = 4096;

std::mutex g_lock;
size_t g_refusedFrees = 0; // under g_lock
std::unordered_set<void*>& Blocks() {
    static std::unordered_set<void*> blocks;
    return blocks;
}

} // namespace

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
    if (address != nullptr || size == 0 || (allocationType & MEM_COMMIT) == 0 ||
        (allocationType & MEM_RESERVE) == 0 || protect != PAGE_READWRITE) {
        // This layer supports what the program uses: a fresh read-write block.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = nullptr;
    if (posix_memalign(&block, kPage, size) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memset(block, 0, size);
    std::lock_guard<std::mutex> guard(g_lock);
    Blocks().insert(block);
    return block;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
    // As on Windows, MEM_RELEASE takes the base address and a size of 0.
    if (freeType != MEM_RELEASE || size != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (Blocks().erase(address) == 0) {
            ++g_refusedFrees;
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
    }
    std::free(address);
    return TRUE;
}

namespace zxposix {

size_t LiveVirtualBlocks() {
    std::lock_guard<std::mutex> guard(g_lock);
    return Blocks().size();
}

size_t RefusedVirtualFrees() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_refusedFrees;
}

} // namespace zxposix
