#include <cstring>

#include <lz4.h>

#include "Commands.h"
#include "qss/Version.h"

using namespace qss;

namespace qss_tool {

namespace {

constexpr const char* kOverview = R"(usage: qss COMMAND [OPTIONS] ARGUMENTS

Builds, inspects and debugs Quorell Structured Storage containers.

Commands:
  ls      list the entries of one storage
  tree    show the whole hierarchy, nested containers included
  cat     write the content of one stream to standard output
  unpack  copy a container into a folder tree
  pack    build a container from a folder tree
  put     store a file as a stream of an existing container
  rm      remove an entry from an existing container
  mkdir   add a storage to an existing container
  info    show the container's header and block counts
  check   check a container's consistency
  mount   show a container as a read-only folder (Linux, FUSE 3)
  umount  end a mount made by qss mount
  version show the versions of qss and of the LZ4 library it was built with

Options of every command:
  -q, --quiet        print errors only: no progress bar, no warnings, no
                     "ok" from check
  --progress=WHEN    draw a progress bar on standard error for long work
                     (pack, unpack, cat): auto (default: only when standard
                     error is a terminal), always or never. It shows the
                     bytes done and in all, the rate and the time left, and
                     never goes to standard output.
  --version          the same as 'qss version'

CONTAINER is the path of a container file. A container split into segments
is named by its first file (BASE); the others are BASE.F0002, BASE.F0003, ...
and are found automatically. Every command but pack, put, rm and mkdir opens
the container for reading only and never writes to it.

PATH names an entry inside the container: names separated by '\' or '/'
(quote backslashes from the shell). An empty PATH or "/" is the root. A
nested container (an entry of kind 3) is walked into like a storage.

Depth: every command goes at most 64 levels deep. A PATH has at most 64
names; tree, unpack and check open storages and nested containers (counted
together) only above that depth, check reports deeper ones as too deep to
check, and pack refuses a folder tree that nests deeper.

Exit codes: 0 success, 1 failure (a message starting with "qss: " on
standard error, with the library's result code as 0xXXXXXXXX where there is
one), 2 usage error. Output that cannot be written (a full disk, /dev/full)
is a failure too.

Examples:
  qss pack --compress package/ package.qss
  qss tree package.qss
  qss ls --json package.qss 'Kivra7i'
  qss cat package.qss 'Kivra7i\KivMod7Win.bin' > service.bin
  qss put --compress package.qss 'Kivra7i/KivMod7Win.bin' service.bin
  qss check package.qss
  qss mount package.qss /mnt/package && diff -r package/ /mnt/package
  qss umount /mnt/package
  qss unpack -q --progress=never package.qss out/
  qss --version

Run 'qss COMMAND --help' for the options of one command.
)";

constexpr const char* kListHelp = R"(usage: qss ls [--json] CONTAINER [PATH]

Lists the entries of the storage at PATH (default: the root), one per line in
directory order:

  KIND FLAGS SIZE STORED NAME

  KIND    0 nothing openable, 1 storage, 2 stream, 3 nested container
  FLAGS   the entry's flags in hexadecimal (0x20: compressed stream)
  SIZE    content length in bytes (uncompressed length for a compressed
          stream)
  STORED  stored image length of a stream stored compressed, '-' for others
  NAME    the name; a backslash is shown doubled, control characters as \xNN,
          unpaired surrogates as U+FFFD

--json prints a JSON array instead, one object per entry in directory order:
  {"name": str, "kind": 0..3, "flags": int, "size": int,
   "storedLength": int, "firstBlock": int, "headOffset": int,
   "compressed": bool}
flags are as stored with the run-time bits 16 to 19 cleared; compressed is
true when the content is stored compressed: flag 0x20 is set and
storedLength differs from size (content that did not shrink keeps flag 0x20
and is stored plain).
)";

constexpr const char* kTreeHelp = R"(usage: qss tree [--json] CONTAINER

Shows every storage and stream of the container, indented by depth. Nested
containers (kind 3) are opened and shown with their contents, marked
"[container]"; one that does not open is marked with the reason.

--json prints one object for the root,
  {"name": "", "kind": 1, "children": [...]}
whose children carry the members of 'qss ls --json'; storages and kind-3
entries that open as containers carry "children" too, and a kind-3 entry
that does not open carries "error" (its result code) instead
and the command exits with 1 after printing the tree.

Storages are followed at most 64 levels deep (see 'qss --help'), and each
directory chain is walked once: a storage or nested container whose chain
an earlier entry already brought into the walk (a damaged container can make
a storage contain itself, or two entries share one chain) is not opened
again. Both are reported on standard error and the command exits with 1.
The JSON document is written as the walk goes.
)";

constexpr const char* kCatHelp = R"(usage: qss cat CONTAINER PATH

Writes the content of the stream at PATH to standard output: the bytes from
the entry's head offset up to its size, read in 1 MiB pieces. Compressed
streams are decompressed. A nested container (kind 3) is written as its raw
container bytes.

Exits with 1 when the stream cannot be opened, a read fails, or fewer bytes
arrive than the entry's size promises (the bytes already written stay
written). With standard error on a terminal and standard output redirected,
a progress bar is shown.
)";

constexpr const char* kUnpackHelp = R"(usage: qss unpack [OPTIONS] CONTAINER DIR [PATH]

Copies the container into the folder DIR (created when missing): storages
become folders, streams files, nested containers folders. With PATH, only
the storage, nested container or stream at PATH is copied, into DIR under
its own name ('qss unpack c.qss out Drivers' makes out/Drivers/...).

Options:
  --include GLOB   copy only entries that match GLOB (repeatable); a storage
                   that matches brings everything below it
  --exclude GLOB   leave out entries that match GLOB, and everything below a
                   storage that matches (repeatable; wins over --include)
  --overwrite      replace existing files
  --keep           leave existing files as they are and copy the rest
  -q, --quiet      errors only
  --progress=WHEN  auto, always or never (see 'qss --help')

GLOB is matched against an entry's own name when it holds no '/' ("*.log"
at any depth), else against its path from the container's root with '/'
between names ("Drivers/**/*.sys"): '*' is any run of characters within a
name, '?' one character, [abc], [a-z] and [!a-z] one of (or none of) a set,
'**' any run of characters across names ("**/" also none at all).

Existing files: by default unpack first looks for files in DIR at the
names it would write, and when there are any it names them and writes
nothing (exit 1). --overwrite replaces them whole, never writing through,
so another name (a hard link) of a file outside DIR keeps its content.
--keep skips them and says how many were kept.

Nothing appears at its final name before it is complete. A folder that
unpack makes is built under a temporary name beside its place
(.NAME.qss-tmp-PID) and moved into place once its content is written; a
file in a folder that was already there is written under a temporary name
in that folder and moved into place alone. A stream that cannot be read
leaves no file behind and an existing file of its name unchanged.

Interrupted (Ctrl-C, SIGTERM, SIGHUP), unpack finishes the file it is
writing, deletes the folders still under temporary names and ends by the
signal: what is in place is complete. A second interrupt ends it at once:
an unpack ended that way, or killed, can leave such a temporary folder or
file behind, which the next unpack that writes into that folder deletes
once the process that made it no longer runs.

Entries whose names cannot be file names (empty, "." or "..", containing '/'
or NUL, or an unpaired surrogate; on Windows also '\' or ':', the device
names CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9 with or without an
extension, and names ending in a dot or a space), entries of kind 0,
duplicate names, entries whose chain an earlier entry already brought in (a
damaged container can make many entries share one chain, or a storage point
back at its parent), and streams that cannot be read are reported on
standard error and skipped; the command then goes on and exits with 1 at
the end. Nothing is written outside DIR: an existing symbolic link in the
way is reported, never followed.

Examples:
  qss unpack package.qss out/
  qss unpack package.qss out/ 'Kivra7i\KivMod7Win.bin'
  qss unpack --exclude '*.log' --include 'Drivers/**' package.qss out/
  qss unpack --keep package.qss out/
)";

constexpr const char* kPackHelp = R"(usage: qss pack [OPTIONS] DIR CONTAINER

Builds a new container from the folder DIR: files become streams (kind 2),
folders storages (kind 1). Entries are stored sorted by name (UTF-16 order),
so the same input always gives the same bytes. An existing CONTAINER and its
segment files are replaced, but only once the new container is complete.

Options:
  --block-size N     block size in bytes, a power of two from 128 to
                     16777216 (default 4096)
  --entry-width W    bytes per allocation-table entry: 2, 4 or 8 (default 4);
                     width 2 limits a container to 32767 blocks, width 4
                     to 2147483647
  --compress         store every stream compressed (flag 0x20); content that
                     does not shrink is kept plain. Files larger than
                     2113929216 bytes (0x7E000000) cannot be compressed.
  --nest REL         store the folder REL (relative to DIR) as a nested
                     container (a kind-3 entry) with the same block size and
                     entry width; may be given several times, also for
                     folders inside other nested folders
  --segment-size N   split the result into segment files of N bytes:
                     CONTAINER, CONTAINER.F0002, ... (at most 9999)
  --dereference      follow symbolic links: a link to a file is packed as
                     that file, a link to a folder as that folder; a link
                     that leads back to a folder above it is an error that
                     names it
  --skip-special     skip what cannot be a stream (FIFOs, sockets, devices,
                     and symbolic links without --dereference) with one
                     warning line each
  --exclude GLOB     leave out files and folders that match GLOB
                     (repeatable; see 'qss unpack --help' for the patterns),
                     matched against the path relative to DIR with '/'
  --threads N        look at files, and read small ones (with --compress,
                     read and compress all) on N threads ahead of the one
                     that stores them (default: one per core); the
                     container's bytes are the same for every N
  -q, --quiet        errors only (no warnings, no progress bar)
  --progress=WHEN    auto, always or never (see 'qss --help')

Names are the file names converted to UTF-16; a name longer than 31 UTF-16
units, not valid UTF-8, or containing '\' (the path separator inside
containers) is an error that names the file. Without --dereference or
--skip-special a symbolic link or a special file is an error that names the
first one and the option that gets past it. Files that cannot be opened for
reading are refused. All such problems are reported before anything is
written. A file replaced by a link or a special file while pack runs is
refused too, never followed or waited for.

The new container is built beside CONTAINER in temporary files
(.NAME.qss-tmp-PID, and .NAME.qss-tmp-PID.F0002, ... for segments), written
to the disk, read back and checked like 'qss check', and only then moved over
CONTAINER. When anything fails before that (a full disk, the file size
limit, a file that cannot be read, a failed check) or pack is interrupted
(Ctrl-C, SIGTERM, SIGHUP), the temporaries are removed, an existing
CONTAINER stays exactly as it was and the command exits with 1 (or by the
signal). Temporaries that a killed pack left behind are removed by the next
pack to the same CONTAINER.

A single-file container is replaced in one step: a reader, or a crash at
any moment, meets the old container or the new one. Segment files cannot all
be replaced in one step: the new segments are moved first, old segments
beyond the new count deleted, and CONTAINER itself moved last. During those
few moves the files are a mixture of old and new ones: a crash there leaves
a damaged container, and a reader opening it then may fail.

On Windows a file that another program holds open cannot be replaced: a
pack over a container in use fails at its first move and the old container
stays. A symbolic link or another name (hard link) at CONTAINER is replaced
as a name; the file it led to keeps its content.

Examples:
  qss pack --compress --nest Drivers firmware/ firmware.qss
  qss pack --dereference --exclude '*.tmp' --exclude '.git' firmware/ firmware.qss
  qss pack --skip-special -q --progress=never home/ home.qss
)";

constexpr const char* kPutHelp = R"(usage: qss put [--compress] [--safe] CONTAINER PATH FILE

Stores the content of FILE as the stream at PATH of an existing container:
a new stream, or new content for the stream of that name. Storages missing
on the way to PATH are created. PATH naming a storage or nested container
is an error that says so. The new entry goes where pack puts it, in UTF-16
name order.

Options:
  --compress   store the stream compressed (flag 0x20); content that does
               not shrink is kept plain. FILE may then hold at most
               2113929216 bytes.
  --safe       write the whole container anew beside it and move that over
               it, as pack does, instead of changing it in place

In place, the change is one step that happens whole or not at all: the new
content and new copies of the directories on the way go into free blocks,
one write of the header switches to them, and only then are the old blocks
freed. A failure (a full disk, the file size limit) or a crash at any moment
leaves the container as it was or as it is meant to become; at worst some
blocks are lost to every chain, which 'qss check' reports as lost blocks. The
container's allocation table does not grow in place: a change that needs
more blocks than the container describes is made as with --safe (saying
so). Changes inside a nested container are made only with --safe. With
--safe a failure leaves the container exactly as it was (see 'qss pack
--help' for the temporary files, interrupts and segment files).

Example:
  qss put --compress package.qss 'Kivra7i\KivMod7Win.bin' build/KivMod7Win.bin
)";

constexpr const char* kRmHelp = R"(usage: qss rm [-r] [--safe] CONTAINER PATH

Removes the entry at PATH from an existing container. Without -r a storage
that holds entries and a nested container are refused with a message; with
-r (or --recursive) they go with everything under them. The blocks of every
chain removed go back to the free list ('qss info' counts them as free), and
later puts use them again, so the container does not grow.

Options:
  -r, --recursive  remove a storage or nested container with its content
  --safe           write the whole container anew instead (see 'qss put
                   --help'); the freed blocks then leave the container

A failure or a crash leaves the container as it was or without the entry,
as for put.

Example:
  qss rm -r package.qss Drivers
)";

constexpr const char* kMkdirHelp = R"(usage: qss mkdir [--safe] CONTAINER PATH

Adds an empty storage at PATH to an existing container, and the missing
storages above it. An entry of that name is an error. --safe as for put.

Example:
  qss mkdir package.qss 'Drivers/x64'
)";

constexpr const char* kInfoHelp = R"(usage: qss info [--json] CONTAINER

Shows the header fields and block counts:
  entryWidth     bytes per allocation-table entry
  blockSize      bytes per block
  dataOffset     byte position of block 1
  tableStart     first block of the allocation table's chain
  byteArraySize  bytes of the whole container (all segments)
  blocks         whole blocks the byte array holds
  tableBlocks    blocks of the allocation table
  freeBlocks     free blocks inside the byte array
  segments       number of segment files
  segmentSize    bytes per segment file

--json prints one object with exactly these members.
)";

constexpr const char* kCheckHelp = R"(usage: qss check [--json] [-q] CONTAINER

Checks the container's consistency and prints "ok" (exit 0), or one line per
problem (exit 1): the header, the allocation table, every chain reachable from
the directories (nested containers included) for bounds, cycles, blocks used
by two chains, chains shorter or longer than their sizes need, empty
streams that hold blocks, last blocks cut short before the content's end, the
free list (ascending, not overlapping used blocks), lost blocks (neither free
nor in any chain, on a line of their own), unterminated or duplicate names,
and compressed images whose header disagrees with the entry or that do not
decompress. Storages and nested containers more than 64 levels deep are
reported as too deep to check, not as damage.

Options:
  --json    print one object instead of lines, also for a sound container:
              {"ok": bool, "problems": [{"path": str or null,
               "block": int or null, "message": str}, ...]}
            path is the entry the problem concerns (names separated by
            '\', through nested containers), null for the header, the
            allocation table, the free list and lost blocks; block is the
            first block the message names, null when it names none.
  -q        print nothing for a sound container; the exit code tells

Examples:
  qss check package.qss
  qss check --json package.qss > report.json
)";

constexpr const char* kMountHelp = R"(usage: qss mount [--foreground] [--allow-other] CONTAINER MOUNTPOINT

Shows the container as a read-only folder at MOUNTPOINT (an existing
folder), so that ls -l, grep -r, diff -r or sha256sum look inside without
unpacking anything: storages and nested containers are folders, streams are
files whose size is their readable length (from the head offset to the
size). Reads go to the container as they come; a compressed stream is
decompressed once while it is open. Several programs may read at once.

Options:
  --foreground   stay in the foreground and serve until the folder is
                 unmounted; Ctrl-C or SIGTERM unmounts it and ends qss.
                 Without it qss returns once the folder is mounted, and a
                 process in the background serves it until it is unmounted.
  --allow-other  let other users look inside too (a user other than root
                 needs user_allow_other in /etc/fuse.conf)

Nothing can be changed: writing, creating, deleting, renaming and changing
attributes fail with "Read-only file system" (EROFS), and the container is
opened for reading only.

The whole tree is walked when mounting (at most 64 levels deep, see
'qss --help'). Entries that cannot be shown are left out and listed on
standard error then: names that cannot be file names (empty, "." or "..",
containing '/' or NUL, or an unpaired surrogate), names without terminator,
names repeating an earlier entry's name, and entries of kind 0. A storage or
nested container that does not open, lies too deep, or whose chain an
earlier entry already brought in (a damaged container can make a storage
contain itself) is listed there too and shown as a folder whose listing
fails with "Input/output error" (EIO); a directory that could not be read to
its end lists its entries before that point, then fails the same way. A
stream whose chain is damaged fails its reads with EIO; every other entry
stays readable. The command exits with 0 once mounted (or, with
--foreground, once unmounted), 1 when the container or the mount fails.

Unmount with 'qss umount MOUNTPOINT' or 'fusermount3 -u MOUNTPOINT'.
Available on Linux in builds with FUSE 3 (libfuse3); elsewhere the command
says that it is not available and exits with 1.

Example:
  mkdir /tmp/package && qss mount firmware.qss /tmp/package
  ls -l /tmp/package; sha256sum /tmp/package/Kivra7i/*
  qss umount /tmp/package
)";

constexpr const char* kUmountHelp = R"(usage: qss umount MOUNTPOINT

Unmounts a folder that 'qss mount' mounted (with fusermount3 -u, or directly
as root where fusermount3 is missing); the process that served it then
ends. Anything else mounted at MOUNTPOINT is refused. Fails while a program
still has a file or folder inside it open.

Example: qss umount /tmp/package
)";

struct CommandEntry {
  const char* name;
  int (*run)(const Arguments&, ToolContext&);
  const char* help;
};

constexpr CommandEntry kCommands[] = {
    {"ls", RunList, kListHelp},       {"tree", RunTree, kTreeHelp},     {"cat", RunCat, kCatHelp},
    {"unpack", RunUnpack, kUnpackHelp}, {"pack", RunPack, kPackHelp},    {"put", RunPut, kPutHelp},
    {"rm", RunRm, kRmHelp},             {"mkdir", RunMkdir, kMkdirHelp},  {"info", RunInfo, kInfoHelp},
    {"check", RunCheck, kCheckHelp},   {"mount", RunMount, kMountHelp},  {"umount", RunUmount, kUmountHelp},
};

}  // namespace

const char* HelpText(const std::string& command) {
  for (const CommandEntry& entry : kCommands) {
    if (command == entry.name) return entry.help;
  }
  return kOverview;
}

namespace {

// One help text as roff: shown as written (the help texts are laid out for
// a terminal already), with what roff would take for requests escaped.
std::string RoffVerbatim(std::string_view text) {
  std::string roff = ".nf\n";
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) roff += "\\&";
    if (c == '\\') {
      roff += "\\e";
    } else if (c == '-') {
      roff += "\\-";
    } else {
      roff.push_back(c);
    }
    lineStart = c == '\n';
  }
  if (!lineStart) roff.push_back('\n');
  return roff + ".fi\n";
}

}  // namespace

std::string ManualPage() {
  std::string page = ".TH QSS 1 \"\" \"qss " QSS_VERSION_STRING "\" \"User Commands\"\n";
  page += ".SH NAME\nqss \\- build, inspect and debug Quorell Structured Storage containers\n";
  page += ".SH SYNOPSIS\n.B qss\n.I COMMAND\n[\\fIOPTIONS\\fR] \\fIARGUMENTS\\fR\n";
  page += ".SH DESCRIPTION\n" + RoffVerbatim(kOverview);
  page += ".SH COMMANDS\n";
  for (const CommandEntry& entry : kCommands) {
    page += ".SS " + std::string(entry.name) + "\n" + RoffVerbatim(entry.help);
  }
  page += ".SH FILES\n.TP\n.I BASE.F0002, BASE.F0003, ...\nthe further segment files of a container split into segments\n";
  return page;
}

namespace {

int ShowVersion(ToolContext& context) {
  context.out << "qss " << QSS_VERSION_STRING << "\nLZ4 " << LZ4_versionString() << '\n';
  return kExitOk;
}

// -q/--quiet and --progress belong to every command and may stand anywhere
// before "--"; they are taken out here so that each command's parser sees
// only its own options. False with a message for a bad --progress value.
bool TakeCommonOptions(const Arguments& args, Arguments* rest, ToolContext& context, std::string* error) {
  bool quiet = false;
  std::string when = "auto";
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded) {
      rest->push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
      rest->push_back(arg);
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else if (arg.rfind("--progress=", 0) == 0) {
      when = arg.substr(std::strlen("--progress="));
    } else if (arg == "--progress") {
      if (i + 1 >= args.size()) {
        *error = "option --progress needs a value: auto, always or never";
        return false;
      }
      when = args[++i];
    } else {
      rest->push_back(arg);
    }
  }
  if (when != "auto" && when != "always" && when != "never") {
    *error = "--progress must be auto, always or never, not '" + when + "'";
    return false;
  }
  // context.progress arrives as "standard error is a terminal".
  context.quiet = quiet;
  context.progress = !quiet && (when == "always" || (when == "auto" && context.progress));
  context.progressForced = when == "always";
  return true;
}

int Dispatch(const Arguments& args, ToolContext& context) {
  if (args.empty()) {
    context.err << kOverview;
    return kExitUsage;
  }
  const std::string& command = args[0];
  if (command == "--version" || command == "version") return ShowVersion(context);
  // For the build, which makes qss.1 from the help texts so that the two
  // never differ.
  if (command == "--manual-page") {
    context.out << ManualPage();
    return kExitOk;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    if (command == "help" && args.size() > 1) {
      context.out << HelpText(args[1]);
    } else {
      context.out << kOverview;
    }
    return kExitOk;
  }
  for (const CommandEntry& entry : kCommands) {
    if (command == entry.name) {
      Arguments rest;
      std::string error;
      if (!TakeCommonOptions(Arguments(args.begin() + 1, args.end()), &rest, context, &error)) {
        return UsageError(context, entry.name, std::string(entry.name) + ": " + error);
      }
      for (const std::string& arg : rest) {
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
          context.out << entry.help;
          return kExitOk;
        }
      }
      return entry.run(rest, context);
    }
  }
  return UsageError(context, "", "unknown command '" + command + "'");
}

const CommandEntry* FindCommand(const Arguments& args) {
  for (const CommandEntry& entry : kCommands) {
    if (!args.empty() && args[0] == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace

// Output that never arrived (a full disk, a closed pipe, /dev/full) makes
// every command fail, whatever it printed: a listing cut short must not
// pass for a whole one.
int RunQss(const Arguments& args, ToolContext& context) {
  int code = Dispatch(args, context);
  context.out.flush();
  if (!context.out) {
    const CommandEntry* command = FindCommand(args);
    Fail(context, std::string(command ? std::string(command->name) + ": " : "") + "cannot write to standard output");
    if (code == kExitOk) code = kExitFailure;
  }
  return code;
}

}  // namespace qss_tool
