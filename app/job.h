// The installer job and the run that starts it.
#pragma once

// Thread entry of the installer job; the parameter is not used.
unsigned long __stdcall InstallerJob(void* parameter);

// The main run: configuration, connect or refuse, window, job, message loop.
void RunInstaller();

// Shutdown on WM_DESTROY: abort flag, launch line, release, socket clean-up.
void ShutdownTransfer();
