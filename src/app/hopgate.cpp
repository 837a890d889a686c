#include "app/hopgate.h"

#include <optional>

#include "app/commonfunction.h"
#include "app/IniOptionsUnit.h"
#include "app/forward.h"
#include "platform/platform.h"
#include "platform/process_entry.h"
#include "platform/textrules.h"
#include "preview/UpdatePreviewUnit.h"

namespace hopgate {

namespace {

// Written by Run only; the rest of the program sees them through the references below.
Text programFolder;
Text firstArgument;
Text ownFileName;
Text forwardTarget;
std::vector<Text> arguments;

}  // namespace

const Text& ProgramFolder = programFolder;
const Text& FirstArgument = firstArgument;
const Text& OwnFileName = ownFileName;
const Text& ForwardTarget = forwardTarget;
const std::vector<Text>& Arguments = arguments;

Text Argument(size_t index) {
  if (index == 0 || index > Arguments.size()) return Text();
  return textrules::Trim(Arguments[index - 1]);
}

namespace {

Text ProgramName(const char16_t* base) { return base + platform::ExecutableSuffix(); }

// A suite document goes to the sibling program that owns it, started from the program folder.
// The parameter string is the format with FirstArgument put in unchanged.
void StartSibling(const char16_t* program, const Text& before, const Text& after) {
  platform::ShellStart(ProgramName(program), before + FirstArgument + after, ProgramFolder);
}

void MoveByRename() { platform::MoveFile(Argument(2), Argument(3)); }

void MoveByCopy() {
  const Text source = Argument(2);
  const Text destination = Argument(3);
  // One file under two names (another spelling, a link, a short name): copying it over itself
  // and then deleting the source would lose it. Refused; nothing changes.
  if (platform::SameFile(source, destination)) return;
  if (CopyFileOver(source, destination, true)) platform::DeleteFile(source);
}

bool ExtensionIs(const char16_t* upper) { return textrules::ExtensionIs(FirstArgument, upper); }

struct CommandRow {
  size_t argumentCount;
  bool (*test)();
  void (*action)();
};

// Tried from top to bottom; the first row that matches acts, and a run acts at most once.
const CommandRow kCommands[] = {
    {1, [] { return FirstArgument == u"CLEARPNGFILE"; }, preview::PurgePreviews},
    {1, [] { return ExtensionIs(u".PARTSBOOK"); },
     [] { StartSibling(u"partsbook", u"EXPORT \"", u"\""); }},
    {1, [] { return ExtensionIs(u".TWK"); }, [] { StartSibling(u"divuvivur", u"\"", u"\""); }},
    {1, [] { return ExtensionIs(u".JSON") && platform::FileExists(FirstArgument); },
     [] { preview::ImportPreviewRequest(FirstArgument); }},
    {3, [] { return FirstArgument == u"RENAME"; }, MoveByRename},
    {3, [] { return FirstArgument == u"RENAMEANDDEL"; }, MoveByCopy},
};

}  // namespace

void DispatchCommand() {
  for (const auto& row : kCommands) {
    if (row.argumentCount == Arguments.size() && row.test()) {
      row.action();
      return;
    }
  }
}

int Run() {
  try {
    const Text modulePath = platform::ModulePath();
    arguments = platform::CommandLineArguments();
    programFolder = textrules::FolderOf(modulePath);
    firstArgument = Argument(1);

    preview::PrepareDataFolders();
    ownFileName = textrules::FileNameOf(modulePath);
    if (textrules::LowerAscii(OwnFileName) == ProgramName(u"hopgate")) {
      DispatchCommand();
    } else {
      forwardTarget = ReadForwardTarget(ProgramFolder, OwnFileName);
      ForwardToTarget();
    }
  } catch (...) {
    // Every failure ends the run quietly: nothing is shown or written, and the exit code is 0.
  }
  return 0;
}

}  // namespace hopgate

int HopgateMain() { return hopgate::Run(); }
