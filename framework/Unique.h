#pragma once
// Move-only owners of system handles. Each traits type knows its empty value and how to close.
#include <windows.h>

template <class Traits> class CUnique {
public:
    using T = typename Traits::Type;
    CUnique() = default;
    explicit CUnique(T h) : m_h(h) {}
    ~CUnique() { Reset(); }
    CUnique(const CUnique&) = delete;
    CUnique& operator=(const CUnique&) = delete;
    CUnique(CUnique&& o) noexcept : m_h(o.Release()) {}
    CUnique& operator=(CUnique&& o) noexcept { Reset(o.Release()); return *this; }
    T Get() const { return m_h; }
    T Release() { T h = m_h; m_h = Traits::Empty(); return h; }
    void Reset(T h = Traits::Empty()) { if (m_h != Traits::Empty()) Traits::Close(m_h); m_h = h; }
    explicit operator bool() const { return m_h != Traits::Empty(); }
private:
    T m_h = Traits::Empty();
};

struct HandleTraits {      // mutex, event, process, thread, mapping
    using Type = HANDLE;
    static HANDLE Empty() { return nullptr; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFile results
    using Type = HANDLE;
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
    using Type = HANDLE;
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::FindClose(h); }
};
struct MappedViewTraits {
    using Type = void*;
    static void* Empty() { return nullptr; }
    static void Close(void* p) { ::UnmapViewOfFile(p); }
};
struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static HGDIOBJ Empty() { return nullptr; }
    static void Close(HGDIOBJ h) { ::DeleteObject(h); }
};
struct ModuleTraits {
    using Type = HMODULE;
    static HMODULE Empty() { return nullptr; }
    static void Close(HMODULE h) { ::FreeLibrary(h); }
};

using CUniqueHandle = CUnique<HandleTraits>;
using CUniqueFile = CUnique<FileHandleTraits>;
using CUniqueFind = CUnique<FindHandleTraits>;
using CUniqueView = CUnique<MappedViewTraits>;
using CUniqueGdiObject = CUnique<GdiObjectTraits>;
using CUniqueModule = CUnique<ModuleTraits>;
