#include "manifest/Manifest.h"

#include <algorithm>
#include <cwctype>

#include "manifest/Authenticity.h"
#include "manifest/Version.h"
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
    if (name.empty() || !EndsWithNoCase(name, L".zip")) {
        return false;
    }
    if (name.find_first_of(L"/\\:") != kNpos) {
        return false;
    }
    return name != L"." && name != L".." && name.find(L"..\\") == kNpos && name.find(L"../") == kNpos;
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

// A tolerant scanner, not an XML parser: it looks for the version element and
// takes each child element as one package. Markup is searched in a lower-cased
// copy (so names match in any case) while names and values are cut from the
// original text at the same positions. Every search starts at or after the
// previous one's end, or ends the scan, so the work is linear in the text.
bool ParseManifestText(const std::wstring& text, PackageList& list, std::wstring& error)
{
    list.Clear();
    std::wstring lower(text.size(), L'\0');
    std::transform(text.begin(), text.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });

    const size_t open = text.size() < 8 ? kNpos : lower.find(L"<version");
    if (open == kNpos) {
        error = kNoVersionNode;
        return false;
    }
    const size_t openEnd = lower.find(L'>', open + 1);
    if (openEnd == kNpos) {
        error = kVersionNodeIncomplete;
        return false;
    }
    const size_t contentStart = openEnd + 1;
    size_t contentEnd = lower.find(L"</version", contentStart);
    if (contentEnd == kNpos) {
        error = kVersionNodeIncomplete;
        return false;
    }

    size_t position = contentStart;
    for (;;) {
        // contentEnd is itself a "<", so this search never runs past it.
        const size_t lt = lower.find(L'<', position);
        if (lt == kNpos || lt >= contentEnd) {
            break;
        }
        if (lower.compare(lt, 4, L"<!--") == 0) {
            const size_t commentEnd = lower.find(L"-->", lt + 4);
            if (commentEnd == kNpos) {
                break;
            }
            position = commentEnd + 3;
            continue;
        }
        const wchar_t next = text[lt + 1];
        if (next == L'!' || next == L'/' || next == L'?') {
            position = lt + 1;
            continue;
        }
        size_t nameEnd = lt + 1;
        while (nameEnd < text.size() && IsNameCharacter(text[nameEnd])) {
            ++nameEnd;
        }
        if (nameEnd == lt + 1) {
            position = lt + 1;
            continue;
        }
        const std::wstring name = text.substr(lt + 1, nameEnd - lt - 1);
        const size_t gt = lower.find(L'>', nameEnd);
        if (gt == kNpos || gt >= contentEnd) {
            error = kIncompleteOpeningTag + name;
            return false;
        }
        const std::wstring closingTag = L"</" + lower.substr(lt + 1, nameEnd - lt - 1) + L">";
        const size_t close = lower.find(closingTag, gt + 1);
        if (close == kNpos || close > contentEnd) {
            error = kNoClosingTag + name;
            return false;
        }

        if (close == contentEnd) {
            // A package named like "version.zip" ends its own element here,
            // not the list: the list goes on to the next "</version" when
            // there is one, so such a package never hides those after it.
            const size_t nextEnd = lower.find(L"</version", close + closingTag.size());
            if (nextEnd != kNpos) {
                contentEnd = nextEnd;
            }
        }

        PackageEntry entry;
        entry.name = name;
        entry.serverMissing =
            RangeContains(lower, nameEnd, gt, L"servermissing") && RangeContains(lower, nameEnd, gt, L"true");
        entry.version = TrimWhitespace(DecodeEntities(text.substr(gt + 1, close - gt - 1)));
        ReadEntryIntegrity(text.substr(nameEnd, gt - nameEnd), entry);
        if (IsSafePackageName(entry)) {
            MergeKeepNewer(list, entry);
        }
        // Anything nested inside the entry belongs to it; scanning goes on
        // after its closing tag.
        position = close + closingTag.size();
    }

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
