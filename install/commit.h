// The commit of an update: staged files replace the installed ones only once
// every listed file is staged complete, each by one atomic rename, so that
// at any instant every installed file is wholly its old or its new version.
// A run that finds the traces of an interrupted one finishes its work.
#pragma once

#include <stdint.h>

#include "transfer/manifest_source.h"

// After the list is built, before any download: makes the staging folder,
// marks items whose staged file is complete as done, loads the session's
// resume record, and settles what an interrupted commit left in old\: an
// installed file that was moved aside and not replaced is replaced by its
// complete staged file (or, without one, put back), and files set aside
// earlier are deleted.
void PrepareUpdate();

// After the downloads, with what BuildDownloadList gave: true when the
// manifest was obtained, every listed item is staged complete and all of
// them were moved into place (then the staging place is cleared and the
// accepted release serial saved). Otherwise the failure is noted in the run's
// outcome and false is returned; the installed files stay as they were and
// complete staged files stay for the next run.
bool FinishUpdate(const ListedManifest& listed);

// Moves every done item's staged file into place, in list order. Returns the
// number of items that could not be moved.
int32_t CommitStagedItems();

// Deletes the staging folder of the folder (ends with '\') with everything
// in it. Files that cannot be deleted now (in use) are deleted at the next
// restart. Returns how many files were left.
int32_t RemoveStagingFolder(const char* installFolder);
