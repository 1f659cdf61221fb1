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

// Kernel objects whose failure value is INVALID_HANDLE_VALUE (files).
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
using UniqueFile = UniqueResource<FileHandleTraits>;

// Kernel objects whose failure value is null (processes, threads, mutexes, events).
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Handle h) noexcept { ::FindClose(h); }
};
using UniqueFind = UniqueResource<FindHandleTraits>;

// Handles whose failure value is null and that one function closes.
template <typename H, auto CloseFunction>
struct NullHandleTraits {
    using Handle = H;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { CloseFunction(h); }
};

using UniqueRegKey = UniqueResource<NullHandleTraits<HKEY, &::RegCloseKey>>;
// Memory the system allocated with LocalAlloc on our behalf.
using UniqueLocalMemory = UniqueResource<NullHandleTraits<HLOCAL, &::LocalFree>>;
using UniqueWindow = UniqueResource<NullHandleTraits<HWND, &::DestroyWindow>>;
using UniqueGdiObject = UniqueResource<NullHandleTraits<HGDIOBJ, &::DeleteObject>>;

} // namespace orv
