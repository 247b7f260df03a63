// The object namespace: a tree of directories holding devices and symbolic
// links, looked up without case.
//
// Locks: `changes` (recursive) serialises every change of a link together with
// the notification of its observers, so that observers see the changes of a
// name in the order they were made and may themselves change links from the
// callback; `mutex` guards the tree and is never held while observers run.
// Order: changes, then mutex, then the I/O manager's device lock.
#include "iomgr.h"
#include "ob.h"
#include "rtl.h"

#include <algorithm>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace korin::ob {
namespace {

// Most links one lookup may pass through: a chain longer than this is a loop.
constexpr int kMaxLinkDepth = 32;

enum class Kind { Directory, Device, Link };

struct Node {
    Kind kind;
    std::u16string name;  // as created: lookups ignore case, listings keep it
    std::map<std::u16string, std::unique_ptr<Node>> children;  // directories, by upper-cased name
    PDEVICE_OBJECT device = nullptr;                            // devices
    std::vector<std::u16string> targets;                        // links: oldest first, the last is visible
};

struct Placement {
    Node* parent;
    std::u16string key;
};

struct Notification {
    std::u16string name;
    std::optional<std::u16string> target;
};

struct Namespace {
    std::recursive_mutex changes;
    std::mutex mutex;
    std::unique_ptr<Node> root;
    Node* dosDevices = nullptr;  // "\??": the directory whose links are observed
    std::unordered_map<PDEVICE_OBJECT, Placement> devices;
    std::mutex observersMutex;
    std::map<int, LinkObserver> observers;
    int nextObserver = 1;
};

std::u16string Upcase(const std::u16string& s) { return io::UpcaseText(s); }

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    return a.size() == b.size() && Upcase(a) == Upcase(b);
}

Node* AddChild(Node* parent, Kind kind, const std::u16string& name) {
    auto node = std::make_unique<Node>();
    node->kind = kind;
    node->name = name;
    Node* raw = node.get();
    parent->children[Upcase(name)] = std::move(node);
    return raw;
}

// The standard directories; "\DosDevices" is a link to "\??", as on the real system.
void Populate(Namespace& ns) {
    ns.root = std::make_unique<Node>();
    ns.root->kind = Kind::Directory;
    for (const char16_t* dir : {u"Device", u"FileSystem", u"Driver"}) AddChild(ns.root.get(), Kind::Directory, dir);
    ns.dosDevices = AddChild(ns.root.get(), Kind::Directory, u"??");
    AddChild(ns.root.get(), Kind::Link, u"DosDevices")->targets.push_back(u"\\??");
    ns.devices.clear();
}

// Never destroyed: devices and links may be looked up by threads that outlive
// static destructors.
Namespace& TheNamespace() {
    static Namespace* ns = [] {
        auto* created = new Namespace;
        Populate(*created);
        return created;
    }();
    return *ns;
}

// Walks an absolute path through directories, following every link met on
// the way (a link's target replaces the part of the path that named it). Stops
// at the first device, giving the rest of the path (from its backslash) as
// remainder, or at the end of the path on a directory.
// Called with ns.mutex held.
NTSTATUS Resolve(Namespace& ns, std::u16string path, Node** found, std::u16string* remainder) {
    std::u16string key;  // the component being looked up, upper-cased; reused so that it is allocated once
    for (int links = 0;;) {
        if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        Node* node = ns.root.get();
        size_t pos = 1;
        bool followedLink = false;
        while (pos < path.size()) {
            size_t end = path.find(u'\\', pos);
            size_t componentEnd = end == std::u16string::npos ? path.size() : end;
            if (componentEnd == pos) return STATUS_OBJECT_NAME_INVALID;
            key.assign(path, pos, componentEnd - pos);
            for (auto& c : key) c = RtlUpcaseUnicodeChar(c);
            auto it = node->children.find(key);
            if (it == node->children.end())
                return end == std::u16string::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            Node* child = it->second.get();
            if (child->kind == Kind::Device) {
                *found = child;
                *remainder = path.substr(componentEnd);
                return STATUS_SUCCESS;
            }
            if (child->kind == Kind::Link) {
                if (++links > kMaxLinkDepth) return STATUS_REPARSE_POINT_NOT_RESOLVED;
                path.replace(0, componentEnd, child->targets.back());
                followedLink = true;
                break;
            }
            node = child;
            pos = componentEnd + 1;
        }
        if (followedLink) continue;
        *found = node;
        remainder->clear();
        return STATUS_SUCCESS;
    }
}

// As Resolve, for a path that must end on (or pass through) a device: a
// directory is not something a file can be opened on.
NTSTATUS ResolveDevice(Namespace& ns, const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remainder) {
    Node* node = nullptr;
    NTSTATUS status = Resolve(ns, path, &node, remainder);
    if (!NT_SUCCESS(status)) return status;
    if (node->kind != Kind::Device) return STATUS_OBJECT_TYPE_MISMATCH;
    *device = node->device;
    return STATUS_SUCCESS;
}

// Splits name into its directory (resolved, links followed) and its last
// component, for creating or removing the object the name itself denotes.
// Called with ns.mutex held.
NTSTATUS ResolveParent(Namespace& ns, const std::u16string& name, Node** parent, std::u16string* leaf) {
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    size_t last = name.rfind(u'\\');
    *leaf = name.substr(last + 1);
    if (leaf->empty()) return STATUS_OBJECT_NAME_INVALID;
    if (last == 0) {
        *parent = ns.root.get();
        return STATUS_SUCCESS;
    }
    std::u16string remainder;
    Node* node = nullptr;
    NTSTATUS status = Resolve(ns, name.substr(0, last), &node, &remainder);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (!NT_SUCCESS(status)) return status;
    if (node->kind != Kind::Directory) return STATUS_OBJECT_PATH_NOT_FOUND;
    *parent = node;
    return STATUS_SUCCESS;
}

// Names without a leading backslash are DOS device names in "\??".
std::u16string QualifyDosName(const std::u16string& name) {
    return !name.empty() && name[0] == u'\\' ? name : u"\\??\\" + name;
}

std::optional<std::u16string> VisibleTarget(const Node* link) {
    if (!link || link->kind != Kind::Link || link->targets.empty()) return std::nullopt;
    return link->targets.back();
}

// Records a change of a link's visible target for the observers (links in
// "\??" only). Called with ns.mutex held.
void NoteChange(Namespace& ns, Node* parent, const std::u16string& name, const std::optional<std::u16string>& before,
                const std::optional<std::u16string>& after, std::vector<Notification>* notes) {
    if (parent != ns.dosDevices) return;
    if (before.has_value() == after.has_value() && (!before || EqualNoCase(*before, *after))) return;
    notes->push_back({name, after});
}

// Runs the observers for the notes, outside ns.mutex and inside ns.changes.
void Deliver(Namespace& ns, const std::vector<Notification>& notes) {
    if (notes.empty()) return;
    std::vector<LinkObserver> observers;
    {
        std::lock_guard lock(ns.observersMutex);
        for (auto& [id, observer] : ns.observers) observers.push_back(observer);
    }
    for (const auto& note : notes)
        for (const auto& observer : observers) observer(note.name, note.target);
}

// A change of links: fn(notes) runs with the tree locked and returns the
// status; its notes go to the observers after the tree is unlocked.
template <typename Fn>
NTSTATUS ChangeLinks(Fn fn) {
    Namespace& ns = TheNamespace();
    std::lock_guard changes(ns.changes);
    std::vector<Notification> notes;
    NTSTATUS status;
    {
        std::lock_guard lock(ns.mutex);
        status = fn(ns, &notes);
    }
    Deliver(ns, notes);
    return status;
}

// The link a DOS-device or link name denotes, or NULL. Called with ns.mutex held.
Node* FindLink(Namespace& ns, const std::u16string& name, Node** parent, std::u16string* leaf, NTSTATUS* status) {
    *status = ResolveParent(ns, name, parent, leaf);
    if (!NT_SUCCESS(*status)) return nullptr;
    auto it = (*parent)->children.find(Upcase(*leaf));
    if (it == (*parent)->children.end() || it->second->kind != Kind::Link) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    return it->second.get();
}

}  // namespace

NTSTATUS InsertDevice(const std::u16string& name, PDEVICE_OBJECT device) {
    Namespace& ns = TheNamespace();
    std::lock_guard lock(ns.mutex);
    Node* parent = nullptr;
    std::u16string leaf;
    NTSTATUS status = ResolveParent(ns, name, &parent, &leaf);
    if (!NT_SUCCESS(status)) return status;
    std::u16string key = Upcase(leaf);
    if (parent->children.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    AddChild(parent, Kind::Device, leaf)->device = device;
    ns.devices[device] = {parent, key};
    return STATUS_SUCCESS;
}

void RemoveDevice(PDEVICE_OBJECT device) {
    Namespace& ns = TheNamespace();
    std::lock_guard lock(ns.mutex);
    auto it = ns.devices.find(device);
    if (it == ns.devices.end()) return;
    it->second.parent->children.erase(it->second.key);
    ns.devices.erase(it);
}

NTSTATUS CreateSymbolicLink(const std::u16string& name, const std::u16string& target) {
    return ChangeLinks([&](Namespace& ns, std::vector<Notification>* notes) {
        Node* parent = nullptr;
        std::u16string leaf;
        NTSTATUS status = ResolveParent(ns, name, &parent, &leaf);
        if (!NT_SUCCESS(status)) return status;
        if (parent->children.count(Upcase(leaf))) return STATUS_OBJECT_NAME_COLLISION;
        AddChild(parent, Kind::Link, leaf)->targets.push_back(target);
        NoteChange(ns, parent, leaf, std::nullopt, target, notes);
        return STATUS_SUCCESS;
    });
}

NTSTATUS DeleteSymbolicLink(const std::u16string& name) {
    return ChangeLinks([&](Namespace& ns, std::vector<Notification>* notes) {
        Node* parent = nullptr;
        std::u16string leaf;
        NTSTATUS status;
        Node* link = FindLink(ns, name, &parent, &leaf, &status);
        if (!link) return status;
        // Every stacked definition goes with the link object.
        auto before = VisibleTarget(link);
        std::u16string linkName = link->name;
        parent->children.erase(Upcase(leaf));
        NoteChange(ns, parent, linkName, before, std::nullopt, notes);
        return STATUS_SUCCESS;
    });
}

NTSTATUS DefineDosDevice(const std::u16string& linkName, const std::u16string& target) {
    std::u16string name = QualifyDosName(linkName);
    return ChangeLinks([&](Namespace& ns, std::vector<Notification>* notes) {
        Node* parent = nullptr;
        std::u16string leaf;
        NTSTATUS status = ResolveParent(ns, name, &parent, &leaf);
        if (!NT_SUCCESS(status)) return status;
        auto it = parent->children.find(Upcase(leaf));
        Node* link;
        if (it == parent->children.end()) {
            link = AddChild(parent, Kind::Link, leaf);
        } else if (it->second->kind == Kind::Link) {
            link = it->second.get();
        } else {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        auto before = VisibleTarget(link);
        link->targets.push_back(target);
        NoteChange(ns, parent, link->name, before, target, notes);
        return STATUS_SUCCESS;
    });
}

NTSTATUS RemoveDosDevice(const std::u16string& linkName, const std::u16string* target, bool exactMatch) {
    std::u16string name = QualifyDosName(linkName);
    return ChangeLinks([&](Namespace& ns, std::vector<Notification>* notes) {
        Node* parent = nullptr;
        std::u16string leaf;
        NTSTATUS status;
        Node* link = FindLink(ns, name, &parent, &leaf, &status);
        if (!link) return status;
        auto& targets = link->targets;
        auto victim = targets.end() - 1;
        if (exactMatch && target) {
            auto match = std::find_if(targets.rbegin(), targets.rend(),
                                      [&](const std::u16string& t) { return EqualNoCase(t, *target); });
            if (match == targets.rend()) return STATUS_OBJECT_NAME_NOT_FOUND;
            victim = std::next(match).base();
        }
        auto before = VisibleTarget(link);
        std::u16string shownName = link->name;
        targets.erase(victim);
        if (targets.empty()) {
            parent->children.erase(Upcase(leaf));
            link = nullptr;
        }
        NoteChange(ns, parent, shownName, before, VisibleTarget(link), notes);
        return STATUS_SUCCESS;
    });
}

std::vector<std::u16string> QueryLinkTargets(const std::u16string& linkName) {
    Namespace& ns = TheNamespace();
    std::lock_guard lock(ns.mutex);
    Node* parent = nullptr;
    std::u16string leaf;
    NTSTATUS status;
    Node* link = FindLink(ns, QualifyDosName(linkName), &parent, &leaf, &status);
    if (!link) return {};
    return {link->targets.rbegin(), link->targets.rend()};
}

std::vector<std::u16string> ListLinks(const std::u16string& directory) {
    Namespace& ns = TheNamespace();
    std::lock_guard lock(ns.mutex);
    Node* node = nullptr;
    std::u16string remainder;
    if (!NT_SUCCESS(Resolve(ns, directory, &node, &remainder)) || node->kind != Kind::Directory) return {};
    std::vector<std::u16string> names;
    for (auto& [key, child] : node->children)
        if (child->kind == Kind::Link) names.push_back(child->name);
    return names;
}

NTSTATUS ParsePath(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remainder) {
    Namespace& ns = TheNamespace();
    std::lock_guard lock(ns.mutex);
    return ResolveDevice(ns, path, device, remainder);
}

int AddLinkObserver(LinkObserver observer) {
    Namespace& ns = TheNamespace();
    std::lock_guard lock(ns.observersMutex);
    int id = ns.nextObserver++;
    ns.observers.emplace(id, std::move(observer));
    return id;
}

void RemoveLinkObserver(int id) {
    Namespace& ns = TheNamespace();
    // Waiting for a notification in progress means the observer is not called
    // after it was removed (unless removed from its own callback).
    std::lock_guard changes(ns.changes);
    std::lock_guard lock(ns.observersMutex);
    ns.observers.erase(id);
}

void ResetNamespace() {
    Namespace& ns = TheNamespace();
    std::lock_guard changes(ns.changes);
    std::lock_guard lock(ns.mutex);
    Populate(ns);
}

}  // namespace korin::ob

namespace korin::io {

std::u16string UpcaseText(const std::u16string& s) {
    std::u16string upper(s);
    for (auto& c : upper) c = RtlUpcaseUnicodeChar(c);
    return upper;
}

NTSTATUS ParseAndReferenceDevice(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remainder) {
    auto& ns = ob::TheNamespace();
    std::lock_guard lock(ns.mutex);
    NTSTATUS status = ob::ResolveDevice(ns, path, device, remainder);
    if (NT_SUCCESS(status)) ReferenceDevice(*device);
    return status;
}

}  // namespace korin::io
