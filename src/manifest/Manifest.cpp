#include "manifest/Manifest.h"

#include <algorithm>
#include <cwctype>

#include "manifest/Authenticity.h"
#include "manifest/Version.h"
#include "platform/PathSafety.h"
#include "platform/PathText.h"

namespace orv {

namespace {

constexpr size_t kNpos = std::wstring::npos;

const wchar_t kNoVersionNode[] = L"The XML does not contain a <version> node.";
const wchar_t kVersionNodeIncomplete[] = L"The <version> node is incomplete.";
const wchar_t kIncompleteOpeningTag[] = L"Manifest entry has an incomplete opening tag: ";
const wchar_t kNoClosingTag[] = L"Manifest entry has no closing tag: ";
const wchar_t kNoSafeEntries[] = L"The <version> node contains no safe .zip package entries.";

// Replaces every occurrence of from, left to right, resuming after each
// replacement. One pass over the text, whatever it holds.
std::wstring ReplaceAll(const std::wstring& text, const std::wstring& from, const std::wstring& to)
{
    size_t found = text.find(from);
    if (found == kNpos) {
        return text;
    }
    std::wstring out;
    out.reserve(text.size());
    size_t position = 0;
    while (found != kNpos) {
        out.append(text, position, found - position);
        out.append(to);
        position = found + from.size();
        found = text.find(from, position);
    }
    out.append(text, position, kNpos);
    return out;
}

bool IsNameCharacter(wchar_t c)
{
    return std::iswalnum(static_cast<wint_t>(c)) || c == L'-' || c == L'.' || c == L':' || c == L'_';
}

// Whether lower[begin, end) holds needle. Bounded to the range so that an
// entry's attribute test never looks past its own start tag.
bool RangeContains(const std::wstring& lower, size_t begin, size_t end, const std::wstring& needle)
{
    const auto first = lower.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto last = lower.begin() + static_cast<std::ptrdiff_t>(end);
    return std::search(first, last, needle.begin(), needle.end()) != last;
}

bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The announced size and hash of an entry; values that are not well formed
// are left out as if they were absent.
void ReadEntryIntegrity(const std::wstring& tag, PackageEntry& entry)
{
    std::wstring value;
    entry.sizeKnown = FindTagAttribute(tag, L"size", value) && ParseDecimal64(value, entry.size);
    if (!entry.sizeKnown) {
        entry.size = 0;
    }
    if (!FindTagAttribute(tag, L"sha256", value) || !ParseSha256Hex(value, entry.sha256)) {
        entry.sha256.clear();
    }
}

} // namespace

bool FindTagAttribute(const std::wstring& tag, const std::wstring& name, std::wstring& value)
{
    const std::wstring wanted = FoldAsciiCase(name);
    size_t position = 0;
    for (;;) {
        while (position < tag.size() && IsSpace(tag[position])) {
            ++position;
        }
        const size_t nameStart = position;
        while (position < tag.size() && IsNameCharacter(tag[position])) {
            ++position;
        }
        const size_t nameEnd = position;
        while (position < tag.size() && IsSpace(tag[position])) {
            ++position;
        }
        if (nameEnd == nameStart || position + 1 >= tag.size() || tag[position] != L'=') {
            return false;
        }
        ++position;
        while (position < tag.size() && IsSpace(tag[position])) {
            ++position;
        }
        const wchar_t quote = position < tag.size() ? tag[position] : L'\0';
        const size_t valueEnd = quote == L'"' || quote == L'\'' ? tag.find(quote, position + 1) : kNpos;
        if (valueEnd == kNpos) {
            return false;
        }
        if (FoldAsciiCase(tag.substr(nameStart, nameEnd - nameStart)) == wanted) {
            value = tag.substr(position + 1, valueEnd - position - 1);
            return true;
        }
        position = valueEnd + 1;
    }
}

std::wstring FoldAsciiCase(const std::wstring& text)
{
    std::wstring folded = text;
    for (wchar_t& c : folded) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return folded;
}

const PackageEntry* PackageList::Find(const std::wstring& name) const
{
    const auto found = index_.find(FoldAsciiCase(name));
    return found == index_.end() ? nullptr : &entries_[found->second];
}

void PackageList::Clear()
{
    entries_.clear();
    index_.clear();
}

PackageEntry& PackageList::Slot(const std::wstring& name, bool& created)
{
    const auto inserted = index_.emplace(FoldAsciiCase(name), entries_.size());
    created = inserted.second;
    if (created) {
        PackageEntry fresh;
        fresh.name = name;
        entries_.push_back(std::move(fresh));
    }
    return entries_[inserted.first->second];
}

bool IsSafePackageName(const PackageEntry& entry)
{
    const std::wstring& name = entry.name;
    if (name.empty() || !EndsWithNoCase(name, L".zip") || name.find_first_of(L"/\\:") != kNpos) {
        return false;
    }
    // One segment, so no parent-folder step either. The name becomes a
    // download path and the stem of the installed-file probe: a device name
    // ("NUL.zip" reaches NUL) or one Windows would quietly change must never
    // get that far.
    return IsSafeRelativePath(name);
}

void MergeKeepNewer(PackageList& list, const PackageEntry& entry)
{
    bool created = false;
    PackageEntry& slot = list.Slot(entry.name, created);
    if (!created) {
        bool bothValid = false;
        const int order = CompareVersions(slot.version, entry.version, &bothValid);
        if (bothValid && order >= 0) {
            return;
        }
    }
    slot = entry;
}

void SetEntry(PackageList& list, const PackageEntry& entry)
{
    bool created = false;
    list.Slot(entry.name, created) = entry;
}

std::wstring DecodeEntities(const std::wstring& text)
{
    std::wstring out = ReplaceAll(text, L"&lt;", L"<");
    out = ReplaceAll(out, L"&gt;", L">");
    out = ReplaceAll(out, L"&quot;", L"\"");
    out = ReplaceAll(out, L"&apos;", L"'");
    return ReplaceAll(out, L"&amp;", L"&");
}

std::wstring EscapeVersionText(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += L"&quot;"; break;
        case L'\'': out += L"&apos;"; break;
        default: out.push_back(c); break;
        }
    }
    return out;
}

namespace {

// What the scan of one document works on: the text, its lower-cased copy
// (markup is searched there, so names match in any case, while names and
// values are cut from the original at the same positions) and the part
// between the version element's tags.
struct ManifestScan {
    const std::wstring& text;
    std::wstring lower;
    size_t contentStart = 0;
    size_t contentEnd = 0;
};

// Step one: the content of the version element.
bool LocateVersionContent(ManifestScan& scan, std::wstring& error)
{
    const size_t open = scan.text.size() < 8 ? kNpos : scan.lower.find(L"<version");
    if (open == kNpos) {
        error = kNoVersionNode;
        return false;
    }
    const size_t openEnd = scan.lower.find(L'>', open + 1);
    if (openEnd == kNpos) {
        error = kVersionNodeIncomplete;
        return false;
    }
    scan.contentStart = openEnd + 1;
    scan.contentEnd = scan.lower.find(L"</version", scan.contentStart);
    if (scan.contentEnd == kNpos) {
        error = kVersionNodeIncomplete;
        return false;
    }
    return true;
}

// The next element start at or after position inside the content: comments,
// closing tags, declarations and stray "<" are passed over. kNpos at the end.
size_t NextElementStart(const ManifestScan& scan, size_t position, size_t& nameEnd)
{
    for (;;) {
        // contentEnd is itself a "<", so this search never runs past it.
        const size_t lt = scan.lower.find(L'<', position);
        if (lt == kNpos || lt >= scan.contentEnd) {
            return kNpos;
        }
        if (scan.lower.compare(lt, 4, L"<!--") == 0) {
            const size_t commentEnd = scan.lower.find(L"-->", lt + 4);
            if (commentEnd == kNpos) {
                return kNpos;
            }
            position = commentEnd + 3;
            continue;
        }
        const wchar_t next = scan.text[lt + 1];
        nameEnd = lt + 1;
        while (nameEnd < scan.text.size() && IsNameCharacter(scan.text[nameEnd])) {
            ++nameEnd;
        }
        if (next == L'!' || next == L'/' || next == L'?' || nameEnd == lt + 1) {
            position = lt + 1;
            continue;
        }
        return lt;
    }
}

// One entry from its start tag at lt to its closing tag: added to list when
// its name is safe. Returns where scanning goes on (after the closing tag,
// so anything nested inside the entry belongs to it), or kNpos with error.
size_t ReadEntry(ManifestScan& scan, size_t lt, size_t nameEnd, PackageList& list, std::wstring& error)
{
    const std::wstring name = scan.text.substr(lt + 1, nameEnd - lt - 1);
    const size_t gt = scan.lower.find(L'>', nameEnd);
    if (gt == kNpos || gt >= scan.contentEnd) {
        error = kIncompleteOpeningTag + name;
        return kNpos;
    }
    const std::wstring closingTag = L"</" + scan.lower.substr(lt + 1, nameEnd - lt - 1) + L">";
    const size_t close = scan.lower.find(closingTag, gt + 1);
    if (close == kNpos || close > scan.contentEnd) {
        error = kNoClosingTag + name;
        return kNpos;
    }
    if (close == scan.contentEnd) {
        // A package named like "version.zip" ends its own element here, not
        // the list: the list goes on to the next "</version" when there is
        // one, so such a package never hides those after it.
        const size_t nextEnd = scan.lower.find(L"</version", close + closingTag.size());
        if (nextEnd != kNpos) {
            scan.contentEnd = nextEnd;
        }
    }
    PackageEntry entry;
    entry.name = name;
    entry.serverMissing = RangeContains(scan.lower, nameEnd, gt, L"servermissing") &&
                          RangeContains(scan.lower, nameEnd, gt, L"true");
    entry.version = TrimWhitespace(DecodeEntities(scan.text.substr(gt + 1, close - gt - 1)));
    ReadEntryIntegrity(scan.text.substr(nameEnd, gt - nameEnd), entry);
    if (IsSafePackageName(entry)) {
        MergeKeepNewer(list, entry);
    }
    return close + closingTag.size();
}

// Step two: every child element of the version element, in document order.
bool ReadEntries(ManifestScan& scan, PackageList& list, std::wstring& error)
{
    size_t position = scan.contentStart;
    size_t nameEnd = 0;
    for (size_t lt = NextElementStart(scan, position, nameEnd); lt != kNpos;
         lt = NextElementStart(scan, position, nameEnd)) {
        position = ReadEntry(scan, lt, nameEnd, list, error);
        if (position == kNpos) {
            return false;
        }
    }
    return true;
}

} // namespace

// A tolerant scanner, not an XML parser: it looks for the version element and
// takes each child element as one package. Every search starts at or after
// the previous one's end, or ends the scan, so the work is linear in the text.
bool ParseManifestText(const std::wstring& text, PackageList& list, std::wstring& error)
{
    list.Clear();
    ManifestScan scan{text, std::wstring(text.size(), L'\0')};
    std::transform(text.begin(), text.end(), scan.lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
    if (!LocateVersionContent(scan, error) || !ReadEntries(scan, list, error)) {
        return false;
    }
    // Step three: a document whose entries were all unsafe names nothing.
    if (list.empty()) {
        error = kNoSafeEntries;
        return false;
    }
    return true;
}

std::wstring BuildStateText(const PackageList& list)
{
    std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>\r\n";
    text += L"<Updater>\r\n  <version>\r\n";
    for (const PackageEntry& entry : list) {
        if (!IsSafePackageName(entry)) {
            continue;
        }
        text += L"    <";
        text += entry.name;
        if (entry.serverMissing) {
            text += L" serverMissing=\"true\"";
        }
        text += L">";
        text += EscapeVersionText(entry.version);
        text += L"</";
        text += entry.name;
        text += L">\r\n";
    }
    text += L"  </version>\r\n</Updater>\r\n";
    return text;
}

} // namespace orv
