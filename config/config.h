// Configuration: the command line, the embedded "INSTDATA" arguments, the
// keyword pass, the setup derived from the program's file name, the two
// hosted presets and the final form of the install folder.
//
// Everything here runs once on the main thread before any other thread
// exists. Every text that comes from outside (command line, resource, file
// name, environment) is bounded: a value that does not fit its field is
// refused and the field keeps what it held, except DisplayName, which is
// cut. Each refusal is written to the diagnostic log.
#pragma once

#include <stdint.h>

enum {
  // The embedded arguments: 1023 bytes of text and a terminator.
  kEmbeddedCapacity = 1024,
  // The copy of the program path that the file-name setup splits.
  kFileNameCapacity = 1024,
  // Room for the value of one environment variable, and for that value
  // joined with the rest of the install folder.
  kEnvironmentValueCapacity = 250,
  kExpandBufferCapacity = 512,
  // Field positions the file-name setup keeps (the rules use at most four).
  kNameFieldSlots = 5,
  // Port of every name-derived hosted setup.
  kHostedPort = 22000,
};

// ---- Platform edges (Windows in the product, POSIX stand-ins natively) ----

// Puts the settings back to their defaults, tokenises the process command
// line and runs the keyword pass; the caller
// runs the uninstall when that set UninstallRequested. Returns the number of
// arguments the command line held, program path included (at most 16);
// arguments dropped for length count too, so that a command line that
// carried arguments is never replaced by the embedded or name-derived setup.
int32_t Tokenize();
// Reads the "INSTDATA" resource of the program's own module into arguments
// and runs the keyword pass; without the resource, the file-name setup runs.
void ReadEmbeddedArguments();
// Expands a leading %AppData% or %ProgramFiles% in InstallDir through the
// environment and ensures its trailing backslash.
void ResolveInstallDir();

// Reads an environment variable the way GetEnvironmentVariableA does: the
// length of the value when it fits in capacity with its terminator, the size
// needed (terminator included) when it does not, 0 when unset or empty.
typedef int32_t (*EnvironmentReader)(const char* name, char* buffer, int32_t capacity);
int32_t ReadEnvironmentValue(const char* name, char* buffer, int32_t capacity);

// ---- Portable ----

// Copies commandLine into CommandLineCopy, splits it into ArgTable and runs
// ParseKeywords. An argument that does not fit whole in the 259 bytes of the
// copy is dropped with every argument after it; arguments past the 16th slot
// are ignored. A line longer than the copy sets CommandLineTooLong, and Quiet
// too when any keyword argument (before "next"), kept or dropped, is "quiet".
// Returns the count described at Tokenize.
int32_t TokenizeText(const char* commandLine);
// Stores the position in the next ArgTable slot; false when the table is full.
bool AddArgument(char* position);
// The keyword pass over ArgTable slots 1 to ArgCount - 1.
void ParseKeywords();
// Sets HostName from text up to a ':' and Port from the digits after it
// (minus EmbeddedConfig). Returns whether the host part holds a '.'. A host
// of 260 characters or more is refused: nothing changes and false is returned.
bool ParseHostPort(const char* text);
// As ParseHostPort, but tells whether the host was taken at all.
bool TakeHostPort(const char* text, bool* dotSeen);
// Appends a blank (when LaunchLine is not empty) and the text in double
// quotes. False, with LaunchLine unchanged, when that does not fit.
bool AppendLaunchArgument(const char* text);
// The portable part of ReadEmbeddedArguments: the resource's bytes.
void AddEmbeddedArguments(const char* bytes, int32_t length);

// The setup encoded in the program's file name (ArgTable slot 0).
void DeriveFromFileName();
// The hosted preset; firstField is the whole first field ("azure...").
void ApplyHostedPreset(const char* firstField);
// The on-premises preset; languageField may be null.
void ApplyOnPremisesPreset(const char* languageField);
// The portable part of ResolveInstallDir, reading variables through read.
void ExpandInstallDir(EnvironmentReader read);

// Writes where the settings came from ("command line", "INSTDATA",
// "file name") and every field of InstallSettings to the diagnostic log.
void LogSettings(const char* source);
