// The publisher: scan, read, check, sign, write. Everything the installer
// could not fetch or install is refused before anything is written; new
// mirror objects wait under temporary names until the release is accepted,
// and files.ver is replaced only after every mirror object it names is in
// place, so a server never offers a manifest whose objects are missing.
#include "tools/publish/publish.h"

#include <stdio.h>
#include <time.h>

#include "tools/common/paths.h"
#include "tools/common/text.h"
#include "tools/publish/chunk_store.h"
#include "tools/publish/manifest_writer.h"
#include "tools/publish/mirror_writer.h"
#include "tools/publish/progress.h"
#include "tools/publish/signing.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

const uint32_t kLargestSerial = 4294967295u;
const int64_t kSecondsPerDay = 86400;

// The serial and expiry of the signature to write, from the options and the
// signature file already in place. Its serial counts only when the signing
// key verifies it: anyone who can write the output folder could plant one
// (serial 4294967295 would block every later release). One that does not
// verify is treated as one that cannot be read: the operator gives the
// serial.
bool DecideSignature(const Options& options, const PreviousRelease& previous,
                     const SigningKey& key, SignatureFields* fields,
                     std::vector<std::string>* errors) {
  bool trusted = previous.signatureReadable && SignatureVerifies(key, previous.signatureText);
  if (previous.signaturePresent && !trusted && options.serial == 0) {
    errors->push_back(
        previous.signatureReadable
            ? "the files.ver.sig in place does not verify with this key (made with another "
              "key, altered, or planted), so its serial is not trusted; give --serial=N above "
              "the last serial published"
            : "the files.ver.sig in place cannot be read, so its serial is unknown; give "
              "--serial=N above the last serial published");
    return false;
  }
  uint32_t last = trusted ? previous.serial : 0;
  if (options.serial != 0) {
    // Installers that accepted the last serial refuse anything not above it.
    if (options.serial <= last) {
      errors->push_back("--serial=" + std::to_string(options.serial) +
                        " is not above serial " + std::to_string(last) +
                        " of the files.ver.sig in place; installers that accepted it would "
                        "refuse this release as a rollback");
      return false;
    }
    fields->serial = options.serial;
  } else if (last == kLargestSerial) {
    errors->push_back("the files.ver.sig in place has the last possible serial");
    return false;
  } else {
    fields->serial = last + 1;
  }
  fields->hasExpiry = options.expiresDays != 0;
  if (fields->hasExpiry)
    fields->expiry = static_cast<int64_t>(time(nullptr)) + options.expiresDays * kSecondsPerDay;
  return true;
}

// A private key in a served folder would be published with the release.
void CheckKeyPlace(const Options& options, const ReleaseLayout& layout,
                   std::vector<std::string>* errors) {
  std::error_code ec;
  fs::path key = fs::canonical(options.signKey, ec);
  if (ec) return;  // the key was read, so this does not happen
  std::vector<fs::path> served = {layout.source, layout.out};
  if (!options.mirror.empty()) served.push_back(fs::weakly_canonical(options.mirror, ec));
  for (const fs::path& folder : served) {
    if (!folder.empty() && tools::IsInside(key, folder)) {
      errors->push_back(tools::Quoted(options.signKey) + ": the private key lies in " +
                        folder.string() + ", which servers offer; keep it elsewhere");
      return;
    }
  }
}

}  // namespace

int Publish(const Options& options, Report* report) {
  std::vector<std::string>* errors = &report->errors;
  ReleaseLayout layout;
  if (!ResolveLayout(options, &layout, errors)) return 1;
  std::vector<FileEntry> files;
  if (!ScanRelease(layout, &files, errors)) return 1;
  CheckClashes(files, options, errors);
  SigningKey key;
  SignatureFields fields;
  PreviousRelease previous;
  bool previousRead = ReadPreviousRelease(layout.out, &previous, errors);
  if (!options.signKey.empty()) {
    std::string error;
    if (!LoadSigningKey(options.signKey, &key, &error)) {
      errors->push_back(error);
    } else {
      CheckKeyPlace(options, layout, errors);
      if (previousRead) DecideSignature(options, previous, key, &fields, errors);
    }
  }
  if (!errors->empty()) return 1;

  uint64_t bytes = 0;
  for (const FileEntry& f : files) bytes += f.size;
  Progress progress(ProgressWanted(options.quiet), files.size(), bytes);
  MirrorJob job(options, previous, layout.sourceFd.get());
  bool read = job.Prepare(&files, &progress, report);
  progress.Stop();
  if (!read) return 1;

  CheckStale(files, previous, errors);
  std::string text = ManifestText(files, options);
  CheckManifest(text, files, options, errors, &report->warnings);
  if (options.signKey.empty() && previous.signaturePresent && text != previous.manifestText)
    errors->push_back(
        "files.ver.sig in the output folder signs the files.ver in place; sign this release "
        "with --sign=KEY, or remove files.ver.sig to publish it unsigned");
  // The chunk index, signed like files.ver and with the same serial (an
  // added line in files.ver.sig would make earlier installers refuse it).
  ChunkJob chunks(options, layout.sourceFd.get());
  std::string index;
  if (errors->empty() && chunks.Cut(files, errors)) {
    index = chunks.IndexBytes(text);
    if (index.size() > static_cast<size_t>(kChunkIndexLimit)) {
      report->warnings.push_back("the chunk index would be " + std::to_string(index.size()) +
                                 " bytes, over the " + std::to_string(kChunkIndexLimit) +
                                 " installers read: published without files.ver.idx, so "
                                 "updates fetch whole files");
      index.clear();
    } else if (index.empty()) {
      errors->push_back("files.ver.idx would not read back as written (internal error)");
    }
  }
  std::string signature, indexSignature;
  if (errors->empty() && key.loaded()) {
    std::string error;
    if (!SignatureFileText(key, text, fields, &signature, &error) ||
        (!index.empty() && !SignatureFileText(key, index, fields, &indexSignature, &error)))
      errors->push_back(error);
  }
  if (!errors->empty()) return 1;

  report->files = files.size();
  report->manifestBytes = text.size();
  if (!job.Commit(report)) return 1;
  std::string error;
  // The index goes first: an installer that meets it beside the files.ver
  // it does not belong to sees another manifest hash and fetches files whole.
  if (!WriteChunkIndex(layout.out, index, indexSignature, &error) ||
      !WriteRelease(layout.out, text, signature, &error)) {
    errors->push_back(error);
    return 1;
  }
  report->published = true;
  if (key.loaded()) report->serial = fields.serial;
  // Last, so that no manifest in place ever names a removed object.
  if (options.prune && !(job.Prune(report) && chunks.Prune(errors))) return 1;
  report->indexBytes = index.size();
  report->chunks = chunks.counts();
  return 0;
}

int MakeKeyPair(const KeygenOptions& options, std::string* privatePath, std::string* publicPath,
                std::string* error) {
  return GenerateKeyPair(options.prefix, privatePath, publicPath, error) ? 0 : 1;
}

namespace {

int RunKeygen(const std::vector<std::string>& args) {
  KeygenOptions options;
  std::string error;
  switch (ParseKeygenOptions(args, &options, &error)) {
    case OptionsResult::Help:
      fputs(UsageText(), stdout);
      return 0;
    case OptionsResult::Error:
      fprintf(stderr, "brevane-publish: %s (see --help)\n", error.c_str());
      return 2;
    case OptionsResult::Run:
      break;
  }
  std::string privatePath, publicPath;
  if (MakeKeyPair(options, &privatePath, &publicPath, &error) != 0) {
    fprintf(stderr, "brevane-publish: %s\n", error.c_str());
    return 1;
  }
  printf("private key: %s (sign with it; keep it off every server)\npublic key: %s (build "
         "installers with -DPELLINOR_RELEASE_KEY=%s)\n",
         privatePath.c_str(), publicPath.c_str(), publicPath.c_str());
  return 0;
}

}  // namespace

int RunMain(const std::vector<std::string>& args) {
  if (IsKeygen(args)) return RunKeygen(std::vector<std::string>(args.begin() + 1, args.end()));
  Options options;
  std::string error;
  switch (ParseOptions(args, &options, &error)) {
    case OptionsResult::Help:
      fputs(UsageText(), stdout);
      return 0;
    case OptionsResult::Error:
      fprintf(stderr, "brevane-publish: %s (see --help)\n", error.c_str());
      return 2;
    case OptionsResult::Run:
      break;
  }
  Report report;
  int status = Publish(options, &report);
  for (const std::string& line : report.warnings)
    fprintf(stderr, "brevane-publish: warning: %s\n", line.c_str());
  for (const std::string& line : report.errors)
    fprintf(stderr, "brevane-publish: %s\n", line.c_str());
  if (status != 0 && !report.published) {
    fprintf(stderr, "brevane-publish: nothing published; files.ver is unchanged\n");
    return status;
  }
  if (status != 0) {
    fprintf(stderr, "brevane-publish: the release is published; pruning did not finish\n");
    return status;
  }
  if (options.quiet) return 0;
  printf("files.ver: %zu files, %zu bytes\n", report.files, report.manifestBytes);
  if (report.serial != 0) printf("files.ver.sig: serial %u\n", report.serial);
  printf("files.ver.idx: %zu bytes\n", report.indexBytes);
  if (!options.mirror.empty())
    printf("mirror: %zu objects written, %zu rewritten, %zu kept, %zu pruned; top level: %zu "
           "linked, %zu copied, %zu kept\n",
           report.objectsWritten, report.objectsRewritten, report.objectsKept,
           report.objectsPruned, report.topLinked, report.topCopied, report.topKept);
  if (!options.mirror.empty())
    printf("chunks: %zu objects, %llu bytes; %zu written, %zu kept, %zu pruned\n",
           report.chunks.distinct, static_cast<unsigned long long>(report.chunks.objectBytes),
           report.chunks.written, report.chunks.kept, report.chunks.pruned);
  return 0;
}

}  // namespace publish
