#include "pe_resource.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace peresource {

namespace {

const uint32_t kSectionDiscardable = 0x02000000;
const uint32_t kSectionInitializedData = 0x00000040;
enum { kDirectoryResource = 2, kDirectorySecurity = 4, kDirectoryBaseReloc = 5, kDirectoryDebug = 6 };
const size_t kSectionHeaderSize = 40;
const size_t kDebugEntrySize = 28;
// Directory entries read before a tree counts as looped; real programs
// have a few hundred.
const uint32_t kMaxTreeEntries = 100000;
// Windows maps no image of 2 GiB or more.
const uint64_t kMaxImage = 0x7FFFFFFF;

// Reads from the bytes in memory, or from a PagedView.
template <class B>
uint16_t U16(const B& b, uint64_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}
template <class B>
uint32_t U32(const B& b, uint64_t at) {
    return uint32_t(U16(b, at)) | uint32_t(U16(b, at + 2)) << 16;
}

// An image read through an ImageReader, a few pages at a time: the lookup
// reads only headers and the resource tree, never the data.
class PagedView {
public:
    explicit PagedView(const ImageReader& reader) : m_reader(reader) {
        for (Page& p : m_pages) p.number = ~uint64_t(0);
    }
    uint64_t size() const { return m_reader.size; }
    // Callers check offsets against size() first, as they do for Bytes.
    uint8_t operator[](uint64_t at) const {
        const uint64_t number = at / kPageSize;
        Page& page = m_pages[number % kPages];
        if (page.number != number) {
            const uint64_t start = number * kPageSize;
            const size_t n = size_t(std::min<uint64_t>(kPageSize, m_reader.size - start));
            page.number = number;
            if (!m_reader.read || !m_reader.read(start, n, page.bytes)) {
                m_failed = true;
                memset(page.bytes, 0, sizeof(page.bytes));
            }
        }
        return page.bytes[at % kPageSize];
    }
    bool Failed() const { return m_failed; }

private:
    static constexpr size_t kPageSize = 4096, kPages = 8;
    struct Page {
        uint64_t number;
        uint8_t bytes[kPageSize];
    };
    const ImageReader& m_reader;
    mutable Page m_pages[kPages];
    mutable bool m_failed = false;
};

// Where a leaf's data lies in memory; a paged image has none to give.
const uint8_t* DataPointer(const Bytes& b, size_t offset) { return b.data() + offset; }
const uint8_t* DataPointer(const PagedView&, size_t) { return nullptr; }
void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

uint64_t AlignUp(uint64_t v, uint64_t alignment) { return (v + alignment - 1) & ~(alignment - 1); }
bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::string Hex(uint32_t v) {
    char text[16];
    snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(v));
    return text;
}

struct Section {
    std::string name;  // for messages
    size_t header;     // file offset of its section header
    uint32_t virtualSize, address, rawSize, rawOffset, flags;
    // The loader takes the raw size when the virtual size is 0.
    uint64_t Span() const { return virtualSize != 0 ? virtualSize : rawSize; }
    bool Holds(uint64_t rva) const { return rva >= address && rva < address + Span(); }
};

struct Image {
    size_t coff = 0;      // the COFF file header
    size_t optional = 0;  // the optional header
    size_t directories = 0;
    uint32_t directoryCount = 0;
    uint32_t fileAlignment = 0, sectionAlignment = 0;
    std::vector<Section> sections;

    size_t ChecksumField() const { return optional + 64; }
    template <class B>
    uint32_t DirectoryAddress(const B& b, uint32_t i) const {
        return i < directoryCount ? U32(b, directories + 8 * i) : 0;
    }
    template <class B>
    uint32_t DirectorySize(const B& b, uint32_t i) const {
        return i < directoryCount ? U32(b, directories + 8 * i + 4) : 0;
    }
    // File offset of n bytes at rva, all inside one section's file data.
    bool Map(uint64_t rva, uint64_t n, size_t* offset) const {
        for (const Section& s : sections) {
            if (rva >= s.address && rva - s.address <= s.rawSize && s.rawSize - (rva - s.address) >= n) {
                *offset = size_t(s.rawOffset + (rva - s.address));
                return true;
            }
        }
        return false;
    }
};

template <class B>
std::string SectionName(const B& b, size_t header) {
    std::string name;
    for (size_t k = 0; k < 8 && b[header + k] != 0; ++k)
        name += b[header + k] >= 0x20 && b[header + k] < 0x7F ? char(b[header + k]) : '?';
    return "\"" + name + "\"";
}

template <class B>
std::string ParseImage(const B& b, Image* image) {
    if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z') return "not a PE file (no MZ header)";
    const uint32_t pe = U32(b, 0x3C);
    if (pe > b.size() || b.size() - pe < 24) return "not a PE file (no PE header inside the file)";
    if (b[pe] != 'P' || b[pe + 1] != 'E' || b[pe + 2] != 0 || b[pe + 3] != 0) return "not a PE file (no PE signature)";
    image->coff = pe + 4;
    const uint32_t sectionCount = U16(b, image->coff + 2);
    const uint32_t optionalSize = U16(b, image->coff + 16);
    image->optional = image->coff + 20;
    if (optionalSize < 2 || b.size() - image->optional < optionalSize)
        return "truncated (the optional header runs past the end of the file)";
    const uint32_t magic = U16(b, image->optional);
    if (magic != 0x10B && magic != 0x20B) return "not a PE32 or PE32+ image (optional header magic " + Hex(magic) + ")";
    const bool plus = magic == 0x20B;
    const size_t fixed = plus ? 112 : 96;
    if (optionalSize < fixed) return "damaged (its optional header is too short)";
    image->directories = image->optional + fixed;
    image->directoryCount = U32(b, image->optional + fixed - 4);
    if (image->directoryCount > (optionalSize - fixed) / 8)
        return "damaged (more data directories than its optional header holds)";
    image->sectionAlignment = U32(b, image->optional + 32);
    image->fileAlignment = U32(b, image->optional + 36);
    if (!IsPowerOfTwo(image->fileAlignment) || image->fileAlignment < 16 || image->fileAlignment > 0x10000 ||
        !IsPowerOfTwo(image->sectionAlignment) || image->sectionAlignment < image->fileAlignment ||
        image->sectionAlignment > 0x1000000)
        return "damaged (section alignment " + Hex(image->sectionAlignment) + ", file alignment " +
               Hex(image->fileAlignment) + ")";
    if (sectionCount == 0 || sectionCount > 96) return "damaged (" + std::to_string(sectionCount) + " sections)";
    const size_t table = image->optional + optionalSize;
    if ((b.size() - table) / kSectionHeaderSize < sectionCount)
        return "truncated (the section table runs past the end of the file)";
    const uint64_t headers = U32(b, image->optional + 60);
    if (headers > b.size()) return "truncated (the headers run past the end of the file)";
    if (headers < table + uint64_t(sectionCount) * kSectionHeaderSize)
        return "damaged (SizeOfHeaders " + Hex(uint32_t(headers)) + " does not cover its headers)";
    image->sections.clear();
    for (uint32_t i = 0; i < sectionCount; ++i) {
        Section s;
        s.header = table + i * kSectionHeaderSize;
        s.name = SectionName(b, s.header);
        s.virtualSize = U32(b, s.header + 8);
        s.address = U32(b, s.header + 12);
        s.rawSize = U32(b, s.header + 16);
        s.rawOffset = U32(b, s.header + 20);
        s.flags = U32(b, s.header + 36);
        if (s.rawSize != 0 && (s.rawOffset > b.size() || b.size() - s.rawOffset < s.rawSize))
            return "truncated (the data of section " + s.name + " runs past the end of the file)";
        if (s.rawSize != 0 && s.rawOffset < headers)
            return "damaged (the data of section " + s.name + " overlaps the headers)";
        if (s.address + s.Span() > kMaxImage) return "damaged (section " + s.name + " lies beyond 2 GiB)";
        if (!image->sections.empty()) {
            const Section& p = image->sections.back();
            if (s.address < p.address + p.Span()) return "damaged (its sections overlap or are out of address order)";
        }
        image->sections.push_back(s);
    }
    return std::string();
}

// --- the resource tree -------------------------------------------------------

struct DirectoryHeader {
    uint32_t characteristics = 0, timeStamp = 0;
    uint16_t major = 0, minor = 0;
};

// The data stays where it is (in the image, or the caller's new data):
// the lookup copies nothing, and the writer copies each leaf once.
struct Leaf {
    ResourceKey language;
    uint32_t codePage = 0, reserved = 0;
    const uint8_t* data = nullptr;
    uint64_t offset = 0;     // in the image read
    size_t size = 0;
    bool external = false;   // its bytes go into the hole of a Layout
    uint64_t placedAt = 0;   // in the section written
};

template <class Child>
struct Node {
    ResourceKey key;
    DirectoryHeader header;
    std::vector<Child> children;
};
typedef Node<Leaf> NameNode;
typedef Node<NameNode> TypeNode;
struct Tree {
    DirectoryHeader header;
    std::vector<TypeNode> types;
};

template <class B>
class TreeReader {
public:
    TreeReader(const B& b, const Image& image, const Section& section)
        : m_b(b), m_image(image), m_base(section.rawOffset), m_limit(section.rawSize) {}

    std::string Read(Tree* tree) {
        std::vector<Entry> entries;
        std::string why = Directory(0, &tree->header, &entries);
        for (size_t i = 0; why.empty() && i < entries.size(); ++i) {
            tree->types.push_back(TypeNode());
            why = Branch(entries[i], &tree->types.back());
        }
        return why;
    }

private:
    struct Entry {
        ResourceKey key;
        uint32_t value;
    };

    bool Inside(uint64_t offset, uint64_t n) const { return offset <= m_limit && m_limit - offset >= n; }

    std::string Directory(uint64_t offset, DirectoryHeader* header, std::vector<Entry>* entries) {
        if (!Inside(offset, 16)) return "damaged (a resource directory lies outside its section)";
        const size_t at = size_t(m_base + offset);
        header->characteristics = U32(m_b, at);
        header->timeStamp = U32(m_b, at + 4);
        header->major = U16(m_b, at + 8);
        header->minor = U16(m_b, at + 10);
        const uint32_t count = uint32_t(U16(m_b, at + 12)) + U16(m_b, at + 14);
        if (!Inside(offset + 16, uint64_t(count) * 8)) return "damaged (a resource directory runs out of its section)";
        m_entries += count;
        if (m_entries > kMaxTreeEntries) return "damaged (its resource directory is too large or loops)";
        for (uint32_t i = 0; i < count; ++i) {
            Entry e;
            const uint32_t name = U32(m_b, at + 16 + 8 * i);
            e.value = U32(m_b, at + 20 + 8 * i);
            if ((name & 0x80000000u) != 0) {
                const uint64_t text = name & 0x7FFFFFFFu;
                if (!Inside(text, 2)) return "damaged (a resource name lies outside its section)";
                const uint32_t length = U16(m_b, size_t(m_base + text));
                if (!Inside(text + 2, uint64_t(length) * 2)) return "damaged (a resource name runs out of its section)";
                e.key.isName = true;
                for (uint32_t k = 0; k < length; ++k) e.key.name += char16_t(U16(m_b, size_t(m_base + text + 2 + 2 * k)));
            } else {
                if (name > 0xFFFF) return "damaged (resource number " + Hex(name) + ")";
                e.key.id = uint16_t(name);
            }
            entries->push_back(e);
        }
        return std::string();
    }

    std::string Subdirectory(const Entry& e, DirectoryHeader* header, std::vector<Entry>* entries) {
        if ((e.value & 0x80000000u) == 0) return "damaged (resource data where a resource directory belongs)";
        return Directory(e.value & 0x7FFFFFFFu, header, entries);
    }

    std::string Branch(const Entry& e, TypeNode* type) {
        type->key = e.key;
        std::vector<Entry> names;
        std::string why = Subdirectory(e, &type->header, &names);
        for (size_t i = 0; why.empty() && i < names.size(); ++i) {
            type->children.push_back(NameNode());
            NameNode& name = type->children.back();
            name.key = names[i].key;
            std::vector<Entry> languages;
            why = Subdirectory(names[i], &name.header, &languages);
            for (size_t k = 0; why.empty() && k < languages.size(); ++k) {
                name.children.push_back(Leaf());
                why = Data(languages[k], &name.children.back());
            }
        }
        return why;
    }

    std::string Data(const Entry& e, Leaf* leaf) {
        if ((e.value & 0x80000000u) != 0 || !Inside(e.value, 16))
            return "damaged (a resource data entry lies outside its section)";
        const size_t at = size_t(m_base + e.value);
        const uint32_t rva = U32(m_b, at), size = U32(m_b, at + 4);
        size_t offset;
        if (!m_image.Map(rva, size, &offset)) return "damaged (resource data lies outside the file)";
        // Real trees never share data between resources; a tree that does
        // could otherwise copy the image many times over.
        m_dataBytes += size;
        if (m_dataBytes > m_b.size()) return "damaged (its resources overlap)";
        leaf->language = e.key;
        leaf->codePage = U32(m_b, at + 8);
        leaf->reserved = U32(m_b, at + 12);
        leaf->offset = offset;
        leaf->data = DataPointer(m_b, offset);
        leaf->size = size;
        return std::string();
    }

    const B& m_b;
    const Image& m_image;
    uint64_t m_base, m_limit;
    uint32_t m_entries = 0;
    uint64_t m_dataBytes = 0;
};

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

// Names first, ordered ignoring ASCII case, then numbers in ascending order.
bool KeyBefore(const ResourceKey& a, const ResourceKey& b) {
    if (a.isName != b.isName) return a.isName;
    if (!a.isName) return a.id < b.id;
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [](char16_t x, char16_t y) { return Upper(x) < Upper(y); });
}

template <class T>
void SortByKey(std::vector<T>& v) {
    std::stable_sort(v.begin(), v.end(), [](const T& a, const T& b) { return KeyBefore(a.key, b.key); });
}

// Directories breadth first, then the data entries, the names and the data,
// each piece of data on an 8-byte boundary, as resource compilers lay it out.
// An external leaf's data comes last and is not written: Write gives the
// section up to it, FullSize the whole section's size.
class TreeWriter {
public:
    TreeWriter(Tree& tree, uint32_t sectionAddress) : m_tree(tree), m_address(sectionAddress) {}

    Bytes Write() {
        SortByKey(m_tree.types);
        for (TypeNode& t : m_tree.types) {
            SortByKey(t.children);
            for (NameNode& n : t.children)
                std::stable_sort(n.children.begin(), n.children.end(),
                                 [](const Leaf& a, const Leaf& b) { return KeyBefore(a.language, b.language); });
        }
        // Sizes first, so that every offset is known when it is written.
        uint64_t directories = 16 + 8 * m_tree.types.size(), leaves = 0, names = 0, data = 0;
        for (const TypeNode& t : m_tree.types) {
            directories += 16 + 8 * t.children.size();
            names += NameBytes(t.key);
            for (const NameNode& n : t.children) {
                directories += 16 + 8 * n.children.size();
                names += NameBytes(n.key);
                for (const Leaf& l : n.children) {
                    ++leaves;
                    names += NameBytes(l.language);
                    if (l.external)
                        m_externalSize = l.size;
                    else
                        data += AlignUp(l.size, 8);
                }
            }
        }
        m_nextDirectory = 0;
        m_nextLeaf = directories;
        m_nextName = m_nextLeaf + 16 * leaves;
        m_nextData = AlignUp(m_nextName + names, 8);
        m_externalAt = m_nextData + data;
        m_fullSize = m_externalAt + AlignUp(m_externalSize, 8);
        m_out.assign(size_t(m_externalAt), 0);

        const size_t typeDirectory = Directory(m_tree.header, m_tree.types);
        std::vector<size_t> typeEntries;
        for (size_t i = 0; i < m_tree.types.size(); ++i) typeEntries.push_back(typeDirectory + 16 + 8 * i);
        std::vector<std::pair<size_t, NameNode*>> nameEntries;
        for (size_t i = 0; i < m_tree.types.size(); ++i) {
            TypeNode& t = m_tree.types[i];
            const size_t d = Directory(t.header, t.children);
            EntryTo(typeEntries[i], t.key, 0x80000000u | uint32_t(d));
            for (size_t k = 0; k < t.children.size(); ++k) nameEntries.push_back({d + 16 + 8 * k, &t.children[k]});
        }
        for (const auto& e : nameEntries) {
            NameNode& n = *e.second;
            const size_t d = Directory(n.header, n.children);
            EntryTo(e.first, n.key, 0x80000000u | uint32_t(d));
            for (size_t k = 0; k < n.children.size(); ++k) {
                Leaf& l = n.children[k];
                const size_t leaf = size_t(m_nextLeaf);
                m_nextLeaf += 16;
                size_t bytes = size_t(m_externalAt);
                if (!l.external) {
                    bytes = size_t(m_nextData);
                    m_nextData += AlignUp(l.size, 8);
                    if (l.size != 0) memcpy(&m_out[bytes], l.data, l.size);
                }
                l.placedAt = bytes;
                Put32(m_out, leaf, m_address + uint32_t(bytes));
                Put32(m_out, leaf + 4, uint32_t(l.size));
                Put32(m_out, leaf + 8, l.codePage);
                Put32(m_out, leaf + 12, l.reserved);
                EntryTo(d + 16 + 8 * k, l.language, uint32_t(leaf));
            }
        }
        return m_out;
    }

    uint64_t FullSize() const { return m_fullSize; }

private:
    static uint64_t NameBytes(const ResourceKey& k) { return k.isName ? 2 + 2 * uint64_t(k.name.size()) : 0; }

    template <class Child>
    size_t Directory(const DirectoryHeader& h, const std::vector<Child>& children) {
        const size_t at = size_t(m_nextDirectory);
        m_nextDirectory += 16 + 8 * children.size();
        Put32(m_out, at, h.characteristics);
        Put32(m_out, at + 4, h.timeStamp);
        Put16(m_out, at + 8, h.major);
        Put16(m_out, at + 10, h.minor);
        uint32_t named = 0;
        for (const Child& c : children) named += Key(c).isName ? 1 : 0;
        Put16(m_out, at + 12, named);
        Put16(m_out, at + 14, uint32_t(children.size()) - named);
        return at;
    }
    static const ResourceKey& Key(const Leaf& l) { return l.language; }
    template <class Child>
    static const ResourceKey& Key(const Node<Child>& n) {
        return n.key;
    }

    void EntryTo(size_t at, const ResourceKey& key, uint32_t value) {
        if (key.isName) {
            const size_t text = size_t(m_nextName);
            m_nextName += NameBytes(key);
            Put16(m_out, text, uint32_t(key.name.size()));
            for (size_t i = 0; i < key.name.size(); ++i) Put16(m_out, text + 2 + 2 * i, key.name[i]);
            Put32(m_out, at, 0x80000000u | uint32_t(text));
        } else {
            Put32(m_out, at, key.id);
        }
        Put32(m_out, at + 4, value);
    }

    Tree& m_tree;
    uint32_t m_address;
    uint64_t m_nextDirectory = 0, m_nextLeaf = 0, m_nextName = 0, m_nextData = 0;
    uint64_t m_externalAt = 0, m_externalSize = 0, m_fullSize = 0;
    Bytes m_out;
};

// The language of resource (type, name)'s first leaf, if it has one.
bool FindLanguage(const Tree& tree, const ResourceKey& type, const ResourceKey& name, Leaf* language) {
    for (const TypeNode& t : tree.types) {
        if (!t.key.Matches(type)) continue;
        for (const NameNode& n : t.children) {
            if (!n.key.Matches(name) || n.children.empty()) continue;
            *language = n.children.front();
            return true;
        }
    }
    return false;
}

// Makes (type, name) hold the data in one language: that of the resource it
// replaces, else fallback's.
void PutLeaf(Tree& tree, const NewResource& resource, const Leaf& fallback) {
    Leaf leaf;
    leaf.data = resource.data;
    leaf.size = resource.size;
    leaf.external = resource.data == nullptr;
    leaf.language = fallback.language;
    leaf.codePage = fallback.codePage;
    const ResourceKey& type = resource.type;
    const ResourceKey& name = resource.name;
    auto t = std::find_if(tree.types.begin(), tree.types.end(), [&](const TypeNode& x) { return x.key.Matches(type); });
    if (t == tree.types.end()) {
        tree.types.push_back(TypeNode());
        t = tree.types.end() - 1;
        t->key = type;
    }
    auto n = std::find_if(t->children.begin(), t->children.end(), [&](const NameNode& x) { return x.key.Matches(name); });
    if (n == t->children.end()) {
        t->children.push_back(NameNode());
        n = t->children.end() - 1;
        n->key = name;
    } else if (!n->children.empty()) {
        leaf.language = n->children.front().language;
        leaf.codePage = n->children.front().codePage;
    }
    n->children.assign(1, leaf);
}

// The image's resource section and tree.
template <class B>
std::string ReadTree(const B& b, const Image& image, size_t* index, Tree* tree) {
    const uint32_t rva = image.DirectoryAddress(b, kDirectoryResource);
    if (rva == 0 || image.DirectorySize(b, kDirectoryResource) == 0)
        return "has no resource section (the program holds no resources)";
    for (size_t i = 0; i < image.sections.size(); ++i) {
        const Section& s = image.sections[i];
        if (!s.Holds(rva)) continue;
        if (s.address != rva) return "keeps its resources in a section shared with other data";
        if (s.rawSize == 0) return "damaged (its resource section has no data in the file)";
        *index = i;
        return TreeReader<B>(b, image, s).Read(tree);
    }
    return "damaged (its resource directory lies outside every section)";
}

}  // namespace

ResourceKey ResourceKey::Id(uint16_t id) {
    ResourceKey k;
    k.id = id;
    return k;
}

ResourceKey ResourceKey::Name(const std::string& ascii) {
    ResourceKey k;
    k.isName = true;
    for (char c : ascii) k.name += char16_t(static_cast<unsigned char>(c));
    return k;
}

bool ResourceKey::Matches(const ResourceKey& other) const {
    if (isName != other.isName) return false;
    if (!isName) return id == other.id;
    if (name.size() != other.name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (Upper(name[i]) != Upper(other.name[i])) return false;
    }
    return true;
}

bool ComputeChecksum(const Bytes& b, uint32_t* checksum) {
    Image image;
    if (!ParseImage(b, &image).empty()) return false;
    const size_t field = image.ChecksumField();
    auto at = [&](size_t i) -> uint32_t { return i - field < 4 ? 0 : b[i]; };
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        sum += at(i) | (i + 1 < b.size() ? at(i + 1) << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    *checksum = uint32_t(sum + b.size());
    return true;
}

namespace {

template <class B>
std::string Locate(const B& b, const ResourceKey& type, const ResourceKey& name, bool* found, uint64_t* offset,
                   uint64_t* size) {
    *found = false;
    Image image;
    std::string why = ParseImage(b, &image);
    if (!why.empty()) return why;
    // Holding no resources is an answer, not damage.
    if (image.DirectoryAddress(b, kDirectoryResource) == 0 || image.DirectorySize(b, kDirectoryResource) == 0)
        return std::string();
    Tree tree;
    size_t index = 0;
    why = ReadTree(b, image, &index, &tree);
    if (!why.empty()) return why;
    for (const TypeNode& t : tree.types) {
        if (!t.key.Matches(type)) continue;
        for (const NameNode& n : t.children) {
            if (!n.key.Matches(name) || n.children.empty()) continue;
            *found = true;
            *offset = n.children.front().offset;
            *size = n.children.front().size;
            return std::string();
        }
    }
    return std::string();
}

}  // namespace

std::string LocateResource(const Bytes& b, const ResourceKey& type, const ResourceKey& name, bool* found,
                           size_t* offset, size_t* size) {
    uint64_t at = 0, n = 0;
    const std::string why = Locate(b, type, name, found, &at, &n);
    *offset = size_t(at);
    *size = size_t(n);
    return why;
}

std::string LocateResource(const ImageReader& image, const ResourceKey& type, const ResourceKey& name, bool* found,
                           uint64_t* offset, uint64_t* size) {
    *found = false;
    if (image.size > kMaxImage) return "too large for a Windows program (2 GiB or more)";
    PagedView view(image);
    const std::string why = Locate(view, type, name, found, offset, size);
    if (view.Failed()) {
        *found = false;
        return "cannot be read";
    }
    return why;
}

namespace {

// The first bytes of a file of a known size; a byte beyond them cannot be read.
class HeadView {
public:
    HeadView(const Bytes& head, uint64_t size) : m_head(head), m_size(size) {}
    uint64_t size() const { return m_size; }
    uint8_t operator[](uint64_t at) const {
        if (at < m_head.size()) return m_head[size_t(at)];
        m_failed = true;
        return 0;
    }
    bool Failed() const { return m_failed; }

private:
    const Bytes& m_head;
    uint64_t m_size;
    mutable bool m_failed = false;
};

}  // namespace

std::string ReadProgramHeaders(const Bytes& head, uint64_t size, ProgramInfo* info) {
    if (size > kMaxImage) return "too large for a Windows program (2 GiB or more)";
    HeadView view(head, size);
    Image image;
    std::string why = ParseImage(view, &image);
    if (view.Failed()) return "its headers lie beyond its first " + std::to_string(head.size()) + " bytes";
    if (!why.empty()) return why;
    info->machine = U16(view, image.coff);
    info->characteristics = U16(view, image.coff + 18);
    info->plus = U16(view, image.optional) == 0x20B;
    return std::string();
}

std::string MachineName(uint16_t machine) {
    switch (machine) {
    case 0x14C: return "x86 (32-bit)";
    case 0x8664: return "x86-64 (64-bit)";
    case 0x1C0: case 0x1C4: return "ARM (32-bit)";
    case 0xAA64: return "ARM64 (64-bit)";
    case 0x200: return "Itanium";
    default: return "machine " + Hex(machine);
    }
}

std::string ReadResource(const Bytes& b, const ResourceKey& type, const ResourceKey& name, bool* found, Bytes* data) {
    size_t offset = 0, size = 0;
    const std::string why = LocateResource(b, type, name, found, &offset, &size);
    if (*found) data->assign(b.begin() + long(offset), b.begin() + long(offset + size));
    return why;
}

bool IsSigned(const Bytes& b) {
    Image image;
    return ParseImage(b, &image).empty() && image.DirectorySize(b, kDirectorySecurity) != 0;
}

std::string SetResource(const Bytes& b, const ResourceKey& type, const ResourceKey& name, const uint8_t* data,
                        size_t size, Bytes* output) {
    static const uint8_t kNothing = 0;
    NewResource resource;
    resource.type = type;
    resource.name = name;
    resource.data = data != nullptr ? data : &kNothing;
    resource.size = size;
    Layout layout;
    const std::string why = SetResources(b, std::vector<NewResource>(1, resource), &layout);
    if (why.empty()) output->swap(layout.bytes);
    return why;
}

std::string SetResources(const Bytes& b, const std::vector<NewResource>& resources, Layout* layout) {
    size_t externals = 0;
    uint64_t holeSize = 0;
    for (const NewResource& resource : resources) {
        if (resource.data != nullptr) continue;
        ++externals;
        holeSize = resource.size;
    }
    if (resources.empty() || externals > 1) return "takes one resource whose data comes later, at most";
    Image image;
    std::string why = ParseImage(b, &image);
    if (!why.empty()) return why;
    if (image.DirectorySize(b, kDirectorySecurity) != 0)
        return "is signed, and the signature would not survive the change";
    Tree tree;
    size_t r = 0;
    why = ReadTree(b, image, &r, &tree);
    if (!why.empty()) return why;
    const Section rsrc = image.sections[r];
    const size_t n = image.sections.size();

    // Only sections nothing refers to by address may move.
    const uint64_t movedFrom = r + 1 < n ? image.sections[r + 1].address : uint64_t(-1);
    for (size_t i = r + 1; i < n; ++i) {
        if ((image.sections[i].flags & kSectionDiscardable) == 0)
            return "has section " + image.sections[i].name +
                   " after its resources; it is not discardable, so it cannot move";
    }
    for (uint32_t d = 0; d < image.directoryCount; ++d) {
        const uint32_t rva = image.DirectoryAddress(b, d);
        if (d == kDirectoryResource || d == kDirectorySecurity || rva == 0) continue;
        if (rsrc.Holds(rva)) return "keeps data directory " + std::to_string(d) + " inside its resource section";
        bool inside = false;
        for (const Section& s : image.sections) inside |= s.Holds(rva);
        if (!inside) return "damaged (its data directory " + std::to_string(d) + " lies outside every section)";
        if (rva >= movedFrom && d != kDirectoryBaseReloc && d != kDirectoryDebug)
            return "keeps data directory " + std::to_string(d) + " in a section after its resources";
    }
    // File data in address order, so that the tail can move as one piece.
    const uint64_t oldEnd = uint64_t(rsrc.rawOffset) + rsrc.rawSize;
    for (size_t i = 0; i < n; ++i) {
        const Section& s = image.sections[i];
        if (s.rawSize == 0 || i == r) continue;
        if (i < r ? uint64_t(s.rawOffset) + s.rawSize > rsrc.rawOffset : s.rawOffset < oldEnd)
            return "has its sections' data out of address order in the file";
    }
    const uint32_t symbols = U32(b, image.coff + 8);
    if (symbols != 0 && symbols >= rsrc.rawOffset && symbols < oldEnd)
        return "damaged (its symbol table lies in its resources)";
    // Moved with the tail below; one past the end of the file would wrap.
    if (symbols > b.size()) return "damaged (its symbol table lies past the end of the file)";

    // What the image lacks gets the language of the first resource's old
    // leaf: the patch data's.
    Leaf fallback;
    FindLanguage(tree, resources.front().type, resources.front().name, &fallback);
    uint64_t size = 0;
    for (const NewResource& resource : resources) {
        PutLeaf(tree, resource, fallback);
        size += resource.size;
    }
    // A directory counts its named and its numbered entries in 16 bits each.
    auto full = [](const std::vector<ResourceKey>& keys) {
        size_t named = 0;
        for (const ResourceKey& k : keys) named += k.isName ? 1 : 0;
        return named > 0xFFFF || keys.size() - named > 0xFFFF;
    };
    std::vector<ResourceKey> keys;
    for (const TypeNode& t : tree.types) keys.push_back(t.key);
    bool tooMany = full(keys);
    for (const TypeNode& t : tree.types) {
        keys.clear();
        for (const NameNode& nn : t.children) keys.push_back(nn.key);
        tooMany = tooMany || full(keys);
    }
    if (tooMany) return "has too many resources to take one more";
    TreeWriter writer(tree, rsrc.address);
    const Bytes section = writer.Write();
    const uint64_t sectionSize = writer.FullSize();

    // The new layout: the resource section takes whole file and section
    // alignment units, and what follows it moves by as many.
    const uint64_t fa = image.fileAlignment, sa = image.sectionAlignment;
    const uint64_t newRaw = AlignUp(sectionSize, fa);
    int64_t fileDelta = int64_t(newRaw) - int64_t(rsrc.rawSize);
    fileDelta += (int64_t(fa) - fileDelta % int64_t(fa)) % int64_t(fa);
    const int64_t addressDelta = r + 1 < n ? int64_t(AlignUp(rsrc.address + sectionSize, sa)) - int64_t(movedFrom) : 0;
    const std::vector<Section> original = image.sections;
    image.sections[r].virtualSize = uint32_t(sectionSize);
    image.sections[r].rawSize = uint32_t(newRaw);
    const std::string tooLarge = "would be too large with " + std::to_string(size) + " bytes of resource data";
    for (size_t i = r + 1; i < n; ++i) {
        Section& s = image.sections[i];
        const int64_t moved = int64_t(s.address) + addressDelta;
        if (moved < 0 || uint64_t(moved) + s.Span() > kMaxImage) return tooLarge;
        s.address = uint32_t(moved);
        if (s.rawSize != 0) s.rawOffset = uint32_t(int64_t(s.rawOffset) + fileDelta);
    }
    const Section& last = image.sections.back();
    const uint64_t imageSize = AlignUp(last.address + last.Span(), sa);
    if (imageSize > kMaxImage || uint64_t(int64_t(b.size()) + fileDelta) > kMaxImage) return tooLarge;

    // The program without the hole: the hole's bytes are the caller's, and
    // file offsets past it lie holeSize earlier in out.
    Bytes out(b.begin(), b.begin() + long(rsrc.rawOffset));
    out.insert(out.end(), section.begin(), section.end());
    const size_t holeAt = out.size();
    out.resize(size_t(int64_t(oldEnd) + fileDelta - int64_t(holeSize)), 0);
    out.insert(out.end(), b.begin() + long(oldEnd), b.end());
    auto inOut = [&](size_t fileOffset) { return fileOffset < holeAt ? fileOffset : size_t(fileOffset - holeSize); };

    for (size_t i = r; i < n; ++i) {
        const Section& s = image.sections[i];
        Put32(out, s.header + 8, s.virtualSize);
        Put32(out, s.header + 12, s.address);
        Put32(out, s.header + 16, s.rawSize);
        Put32(out, s.header + 20, s.rawOffset);
    }
    for (uint32_t d = 0; d < image.directoryCount; ++d) {
        const uint32_t rva = image.DirectoryAddress(out, d);
        if (d != kDirectorySecurity && rva != 0 && rva >= movedFrom)
            Put32(out, image.directories + 8 * d, uint32_t(int64_t(rva) + addressDelta));
    }
    Put32(out, image.directories + 8 * kDirectoryResource, rsrc.address);
    Put32(out, image.directories + 8 * kDirectoryResource + 4, uint32_t(sectionSize));

    // Debug data in the moved sections, or after them in the file.
    const uint32_t debug = image.DirectoryAddress(out, kDirectoryDebug);
    const uint32_t debugSize = image.DirectorySize(out, kDirectoryDebug);
    if (debug != 0 && debugSize != 0) {
        size_t at;
        if (!image.Map(debug, debugSize, &at)) return "damaged (its debug directory lies outside the file)";
        at = inOut(at);
        for (uint32_t k = 0; k + kDebugEntrySize <= debugSize; k += kDebugEntrySize) {
            const uint32_t address = U32(out, at + k + 20), pointer = U32(out, at + k + 24);
            // Both move with the tail: past the image or the file they would wrap.
            if ((address >= movedFrom && uint64_t(address) + addressDelta > kMaxImage) || pointer > b.size())
                return "damaged (a debug entry points past its image)";
            // Into the resources, they would point at whatever the new tree
            // puts there; outside every section, perhaps into its new room.
            if (pointer >= rsrc.rawOffset && pointer < oldEnd)
                return "damaged (a debug entry points into its resources)";
            if (address != 0) {
                bool held = false;
                for (size_t i = 0; i < n; ++i) held |= i != r && original[i].Holds(address);
                if (!held) return "damaged (a debug entry points into its resources or outside every section)";
            }
            if (address != 0 && address >= movedFrom) Put32(out, at + k + 20, uint32_t(int64_t(address) + addressDelta));
            if (pointer >= oldEnd) Put32(out, at + k + 24, uint32_t(int64_t(pointer) + fileDelta));
        }
    }
    if (symbols >= oldEnd) Put32(out, image.coff + 8, uint32_t(int64_t(symbols) + fileDelta));
    if ((rsrc.flags & kSectionInitializedData) != 0)
        Put32(out, image.optional + 8, uint32_t(int64_t(U32(out, image.optional + 8)) + int64_t(newRaw) - rsrc.rawSize));
    Put32(out, image.optional + 56, uint32_t(imageSize));
    layout->checksumAt = image.ChecksumField();
    Put32(out, layout->checksumAt, 0);
    if (holeSize == 0) {
        uint32_t checksum = 0;
        ComputeChecksum(out, &checksum);
        Put32(out, layout->checksumAt, checksum);
    }
    layout->dataAt.clear();
    for (const NewResource& resource : resources) {
        Leaf placed;
        FindLanguage(tree, resource.type, resource.name, &placed);
        layout->dataAt.push_back(rsrc.rawOffset + placed.placedAt);
    }
    layout->holeAt = holeAt;
    layout->holeSize = holeSize;
    layout->bytes.swap(out);
    return std::string();
}

void ChecksumAccumulator::Add(uint64_t at, const uint8_t* data, size_t n) {
    // Bytes at even offsets are the low halves of the 16-bit words.
    uint64_t sum = 0;
    size_t i = 0;
    if (n > 0 && (at & 1) != 0) sum += uint64_t(data[i++]) << 8;
    for (; i + 1 < n; i += 2) sum += uint64_t(data[i]) | uint64_t(data[i + 1]) << 8;
    if (i < n) sum += data[i];
    m_sum += sum;
}

uint32_t ChecksumAccumulator::Finish(uint64_t length) const {
    uint64_t sum = m_sum;
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + length);
}

uint32_t Checksum(const Layout& layout, const ChecksumAccumulator& hole) {
    ChecksumAccumulator sum = hole;
    const Bytes& b = layout.bytes;
    const size_t field = layout.checksumAt, end = field + 4;
    sum.Add(0, b.data(), field);
    sum.Add(end, b.data() + end, layout.holeAt - end);
    sum.Add(layout.holeAt + layout.holeSize, b.data() + layout.holeAt, b.size() - layout.holeAt);
    return sum.Finish(b.size() + layout.holeSize);
}



}  // namespace peresource
