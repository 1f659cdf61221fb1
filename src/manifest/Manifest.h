#pragma once
// Package lists and the one small XML dialect that carries them: the server
// manifest, the legacy local manifest and the local state documents. The
// list rules and the text reader and writer are pure (no Windows headers);
// the file functions at the end live in ManifestFile.cpp.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orv {

struct PackageEntry {
    std::wstring name;
    std::wstring version;
    bool serverMissing = false;
    // What a manifest announces of the package file: size when sizeKnown,
    // and the SHA-256 in lower-case hex (empty when not announced). State
    // documents never carry them.
    bool sizeKnown = false;
    uint64_t size = 0;
    std::wstring sha256{};
};

// Entries in document order with names unique under ASCII case folding. The
// list keeps an index of folded names beside the entries so that adding to a
// list of n entries costs O(log n), never a scan of the list. The index is
// ordered, not hashed: manifests come from the network, and no choice of
// names can make lookups degrade.
class PackageList {
public:
    using const_iterator = std::vector<PackageEntry>::const_iterator;

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const PackageEntry& operator[](size_t index) const { return entries_[index]; }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    // The entry whose name equals name ignoring ASCII case, or null.
    const PackageEntry* Find(const std::wstring& name) const;
    void Clear();

private:
    friend void MergeKeepNewer(PackageList& list, const PackageEntry& entry);
    friend void SetEntry(PackageList& list, const PackageEntry& entry);

    // The entry of that name, appending an empty one (with the name) when
    // there is none; created tells which happened.
    PackageEntry& Slot(const std::wstring& name, bool& created);

    std::vector<PackageEntry> entries_;
    std::map<std::wstring, size_t> index_;
};

// The ASCII letters folded to lower case, every other character unchanged.
std::wstring FoldAsciiCase(const std::wstring& text);

// A package name may only name a ZIP file directly in one folder: not empty,
// ending in ".zip", no "/", "\" or ":", no parent-folder step, and safe as a
// relative path (no device name, trailing dot or blank, control character).
bool IsSafePackageName(const PackageEntry& entry);

// Adds an entry read from a document: a name seen before keeps the existing
// entry when both versions are valid and it is not older; otherwise the new
// entry replaces it in place (so a repeated name keeps its first position).
void MergeKeepNewer(PackageList& list, const PackageEntry& entry);

// Records an entry unconditionally: replaces the entry of the same name in
// place, or appends.
void SetEntry(PackageList& list, const PackageEntry& entry);

// The five predefined entities, decoded one kind after the other with "&amp;"
// last, so an escaped entity ("&amp;lt;") decodes exactly once.
std::wstring DecodeEntities(const std::wstring& text);
// The inverse for versions written to state documents; "&" goes first so
// nothing is escaped twice.
std::wstring EscapeVersionText(const std::wstring& text);

// The value of the attribute name (ASCII case ignored) in the text of a start
// tag after the element name, quoted with ' or ". False when the tag has no
// such attribute or is malformed before it.
bool FindTagAttribute(const std::wstring& tag, const std::wstring& name, std::wstring& value);

// Parses decoded document text into list (emptied first). False with one of
// the reader's error texts at the first fault.
bool ParseManifestText(const std::wstring& text, PackageList& list, std::wstring& error);

// The state document for list (unsafe names left out), CR LF line ends.
std::wstring BuildStateText(const PackageList& list);

// Reads and parses one document file (UTF-16LE with BOM, or UTF-8 with or
// without BOM). The list is emptied first; on failure it may hold the
// entries added before the fault, and error holds the reason.
bool ReadManifestFile(const std::wstring& path, PackageList& list, std::wstring& error);

// The text of a document's bytes, decoded as ReadManifestFile decodes them.
std::wstring DecodeManifestBytes(const std::vector<unsigned char>& bytes);

// Writes list as a state document (UTF-8, no BOM) through a side file that
// replaces the target in one rename.
bool WriteStateFile(const std::wstring& path, const PackageList& list, std::wstring& error);

// Where an install folder's package state was read from.
enum class LocalStateSource { StateDocument, LegacyDocument, None };
// The install folder's state document, or else the earlier updater's
// "updater.xml" (read, never written). With None the list is empty and error
// says why the state document could not be read.
LocalStateSource ReadLocalState(const std::wstring& installPath, PackageList& list, std::wstring& error);

// Runs one read under the reader's guard: a standard exception's message
// (UTF-8) becomes the error text, anything else a fixed text. Returns the
// work's own result when nothing escapes it.
bool RunGuardedManifestRead(const std::function<bool(std::wstring& error)>& work, std::wstring& error);

} // namespace orv
