// The object namespace: directories ("\Device", "\FileSystem", "\??" also
// reachable as "\DosDevices"), device objects and symbolic links. Names
// compare without case.
#pragma once

#include "io.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korin::ob {

// Inserts a named device (IoCreateDevice does this). STATUS_OBJECT_NAME_COLLISION
// when the name exists, STATUS_OBJECT_PATH_NOT_FOUND when its directory does not.
NTSTATUS InsertDevice(const std::u16string& name, PDEVICE_OBJECT device);
void RemoveDevice(PDEVICE_OBJECT device);

// Symbolic links as IoCreateSymbolicLink/IoDeleteSymbolicLink see them.
NTSTATUS CreateSymbolicLink(const std::u16string& name, const std::u16string& target);
NTSTATUS DeleteSymbolicLink(const std::u16string& name);

// DOS device definitions, stacked: a definition on an existing name hides the
// earlier one until it is removed. Removing with exactMatch removes the newest
// definition whose target equals target; without, the newest one.
NTSTATUS DefineDosDevice(const std::u16string& linkName, const std::u16string& target);
NTSTATUS RemoveDosDevice(const std::u16string& linkName, const std::u16string* target, bool exactMatch);
// The visible target of a link, then the hidden ones, newest first.
std::vector<std::u16string> QueryLinkTargets(const std::u16string& linkName);
// Names of the links in a directory ("\??").
std::vector<std::u16string> ListLinks(const std::u16string& directory);

// Parses an absolute object path: directories and links (link to link chains
// resolve) until a device; device receives it (not referenced), remainder the
// rest of the path starting with its backslash, or empty.
// STATUS_OBJECT_NAME_NOT_FOUND / STATUS_OBJECT_PATH_NOT_FOUND when nothing is
// there, STATUS_OBJECT_PATH_SYNTAX_BAD for a relative path.
NTSTATUS ParsePath(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remainder);

// Observes every change of the visible target of a link in "\??": linkName is
// the link's name in that directory ("X:"), target the new target after the
// change, or nullopt when the name no longer links. Links that exist when the
// observer is added are not replayed (ListLinks gives them). Observers run in
// the thread that made the change, one change at a time; they may change links
// themselves but must not wait for another thread that does.
using LinkObserver = std::function<void(const std::u16string& linkName, const std::optional<std::u16string>& target)>;
int AddLinkObserver(LinkObserver observer);
void RemoveLinkObserver(int id);

// Empties the namespace and recreates the standard directories (tests).
void ResetNamespace();

}  // namespace korin::ob
