// Paths walked without following links: the installer deletes, moves and
// writes only through plain folders, so that a link (junction, symbolic link,
// mount point) planted in a folder others may write never leads it into
// another program's files.
#pragma once

#include <stdint.h>

// What a path names, the link itself rather than its target.
enum PathKind { kPathMissing, kPathFile, kPathFolder, kPathLink };

// From Windows file attributes (0xFFFFFFFF: nothing there). The reparse
// bit makes a link whatever else is set.
PathKind PathKindOfAttributes(uint32_t attributes);

// How a walk down a path treats what it finds at one component.
enum {
  kChainMake = 1,   // missing folders are created
  kChainOwned = 2,  // the installer owns these folders: a link or a file in
                    // the place of one is removed (never what a link points
                    // to) and the folder made anew
};
enum ChainStep { kStepEnter, kStepMake, kStepDrop, kStepStop, kStepRefuse };
// Enter a plain folder; make a missing one (kChainMake) or stop there (the
// rest of the path does not exist, so nothing below can be followed); drop a
// link or file in an owned place; refuse it anywhere else.
ChainStep DecideChainStep(PathKind found, uint32_t flags);

// The offsets of the '\' that end each folder of path's folder part (the
// text before its last '\'), skipping the first base characters, which the
// caller vouches for. The count, or -1 when there are more than capacity.
int FolderCuts(const char* path, int base, int* cuts, int capacity);

// ---- Windows side (plain_path_win.cpp) ----

// The kind of what the path names; a link at its end is not followed.
PathKind PathKindAt(const char* path);

// Removes a link as a link, or a plain file (kind says which); never the
// contents of what a link points to. True when nothing is left there.
bool RemoveLinkItself(const char* path, PathKind kind);

enum { kChainDepth = 24 };

// One folder held as FolderChain holds each (close the handle to let go):
// INVALID_HANDLE_VALUE when it is not a plain folder or cannot be held.
void* HoldPlainFolder(const char* path);

// The folders of path's folder part after its first base characters, by
// DecideChainStep, checked one after the other without being held: for
// creates that cannot overwrite anything (a new file only), where a folder
// swapped for a link in between could at worst receive a new file. False
// (logged) when a component is refused or cannot be made.
bool CheckPlainFolders(const char* path, int base, uint32_t flags);

// Holds the folders of a path open, each checked to be a plain folder once
// its handle is open. A held folder cannot be renamed or deleted (its handle
// does not share deletion), so none of them can be swapped for a link until
// the chain is released: paths through them lead where they were checked.
class FolderChain {
 public:
  FolderChain() : count_(0) {}
  ~FolderChain() { Release(); }
  FolderChain(const FolderChain&) = delete;
  FolderChain& operator=(const FolderChain&) = delete;

  // The folders of path's folder part after its first base characters, by
  // DecideChainStep. False (logged) when a component is refused or cannot be
  // made or held; what was held stays held until Release. Folders that an
  // earlier Hold of the same chain holds for the same leading path stay held
  // without a second look.
  bool Hold(const char* path, int base, uint32_t flags);
  void Release();

 private:
  void* handles_[kChainDepth];
  int ends_[kChainDepth];  // where each held folder's path ends in held_
  char held_[260];
  int count_;
};

// The entries below root (a held plain folder, its path ending in '\'):
// visit gets each one's path relative to root, a folder's after its
// content. A link is visited as a link and never entered; a folder is held
// while it is walked, so that it cannot be swapped for one. Paths that do
// not fit are skipped.
typedef void (*TreeVisitor)(void* context, const char* root, const char* relative, PathKind kind);
void WalkPlainTree(const char* root, const char* relative, TreeVisitor visit, void* context);
