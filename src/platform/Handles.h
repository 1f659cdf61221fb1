#pragma once
// One small owner per kind of Win32 handle, so every way out of a function
// closes what it opened.
#include <windows.h>

#include <utility>

namespace orv {

template <typename Traits>
class UniqueResource {
public:
    using Handle = typename Traits::Handle;

    UniqueResource() noexcept : handle_(Traits::Invalid()) {}
    explicit UniqueResource(Handle h) noexcept : handle_(h) {}
    ~UniqueResource() { Reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : handle_(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    Handle Get() const noexcept { return handle_; }
    bool Valid() const noexcept { return Traits::IsValid(handle_); }
    explicit operator bool() const noexcept { return Valid(); }

    Handle Release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
    void Reset(Handle h = Traits::Invalid()) noexcept
    {
        const Handle old = std::exchange(handle_, h);
        if (Traits::IsValid(old)) {
            Traits::Close(old);
        }
    }

private:
    Handle handle_;
};

// Handles that one function closes. Null never names an object, and neither
// does INVALID_HANDLE_VALUE, the failure value of the calls that open files,
// searches and snapshots: an owner holding either holds nothing.
template <typename H, auto CloseFunction>
struct HandleTraits {
    using Handle = H;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept
    {
        return h != nullptr && h != reinterpret_cast<Handle>(INVALID_HANDLE_VALUE);
    }
    static void Close(Handle h) noexcept { CloseFunction(h); }
};

// Files, processes, threads, mutexes, events and snapshots.
using UniqueFile = UniqueResource<HandleTraits<HANDLE, &::CloseHandle>>;
using UniqueHandle = UniqueFile;
using UniqueFind = UniqueResource<HandleTraits<HANDLE, &::FindClose>>;
using UniqueRegKey = UniqueResource<HandleTraits<HKEY, &::RegCloseKey>>;
// Memory the system allocated with LocalAlloc on our behalf.
using UniqueLocalMemory = UniqueResource<HandleTraits<HLOCAL, &::LocalFree>>;
using UniqueWindow = UniqueResource<HandleTraits<HWND, &::DestroyWindow>>;
using UniqueGdiObject = UniqueResource<HandleTraits<HGDIOBJ, &::DeleteObject>>;

} // namespace orv
