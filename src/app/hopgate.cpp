#include "app/hopgate.h"

#include <iterator>
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
  // and then deleting the source would lose it. Refused; nothing changes. So is a pair that
  // cannot be told apart now (an I/O error on either).
  if (platform::MayBeSameFile(source, destination)) return;
  if (CopyFileOver(source, destination, true)) platform::DeleteFile(source);
}

bool ExtensionIs(const Text& first, const char16_t* upper) {
  return textrules::ExtensionIs(first, upper);
}

// Tried from top to bottom; the first row that matches acts, and a run acts at most once.
const CommandRow kCommands[] = {
    {1, CommandKind::Purge, "CLEARPNGFILE: purge the previews of model files that no longer exist",
     [](const Text& first) { return first == u"CLEARPNGFILE"; }, preview::PurgePreviews},
    {1, CommandKind::StartSibling,
     ".PARTSBOOK: start partsbook with the parameter string EXPORT \"<argument>\"",
     [](const Text& first) { return ExtensionIs(first, u".PARTSBOOK"); },
     [] { StartSibling(u"partsbook", u"EXPORT \"", u"\""); }},
    {1, CommandKind::StartSibling, ".TWK: start divuvivur with the parameter string \"<argument>\"",
     [](const Text& first) { return ExtensionIs(first, u".TWK"); },
     [] { StartSibling(u"divuvivur", u"\"", u"\""); }},
    {1, CommandKind::ImportRequest, ".JSON and an existing file: import the preview request",
     [](const Text& first) { return ExtensionIs(first, u".JSON") && platform::FileExists(first); },
     [] { preview::ImportPreviewRequest(FirstArgument); }},
    {3, CommandKind::Rename, "RENAME: move argument 2 to argument 3 (never over an existing file)",
     [](const Text& first) { return first == u"RENAME"; }, MoveByRename},
    {3, CommandKind::RenameAndDelete,
     "RENAMEANDDEL: copy argument 2 over argument 3, then delete argument 2",
     [](const Text& first) { return first == u"RENAMEANDDEL"; }, MoveByCopy},
};

}  // namespace

const CommandRow* ChooseCommand(const std::vector<Text>& arguments) {
  const Text first = arguments.empty() ? Text() : textrules::Trim(arguments.front());
  for (const auto& row : kCommands) {
    if (row.argumentCount == arguments.size() && row.test(first)) return &row;
  }
  return nullptr;
}

const CommandRow* CommandTable(size_t* rowCount) {
  *rowCount = std::size(kCommands);
  return kCommands;
}

bool IsCommandMode(const Text& ownFileName) {
  return textrules::LowerAscii(ownFileName) == ProgramName(u"hopgate");
}

void DispatchCommand() {
  if (const CommandRow* row = ChooseCommand(Arguments)) row->action();
}

int Run() {
  try {
    const Text modulePath = platform::ModulePath();
    arguments = platform::CommandLineArguments();
    programFolder = textrules::FolderOf(modulePath);
    firstArgument = Argument(1);

    preview::PrepareDataFolders();
    ownFileName = textrules::FileNameOf(modulePath);
    if (IsCommandMode(OwnFileName)) {
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
