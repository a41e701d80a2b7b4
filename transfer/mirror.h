// Mirror download: worker threads that fetch DownloadList items from the
// sites of SiteTable as zlib objects and inflate them into place.
#pragma once

// Starts, for each site in order, as many workers as its Threads asks for
// (at most 15 in all). ActiveWorkers is raised before each thread starts.
void StartMirrorWorkers();
