#pragma once
// What every start does before a run: the private working folder, the
// package in it (the built-in one, one given, or one fetched), unpacked and
// deciphered, and its rules loaded. The window and the command line each
// drive these steps their own way.
#include <QString>

#include "rules/fwrules.h"

namespace startup {

// The package URL used when no "url.txt" replaces it.
QString DefaultPackageUrl();
// The first line of "url.txt" (beside the executable, else the per-user or
// system configuration folder); empty when there is none. Throws when it
// cannot be read.
QString ConfiguredPackageUrl();

// The built-in package: the resource ":/ARHIVE"; tests point it at a file.
QString BuiltInPackagePath();
void SetBuiltInPackagePath(const QString &path);  // empty: the resource again

// A new working folder under the temporary folder, exclusively made and
// readable by its owner only, marked in use; with a trailing separator.
// Throws with the reason.
QString MakeWorkFolder();
// Removes it and its mark; links inside are removed, not followed.
void RemoveWorkFolder(const QString &folder);
// Removes what is in folder, leaving the folder.
void EmptyFolder(const QString &folder);

// Copies the package at from (a resource or a file) to folder + "arhive.zip".
void CopyPackage(const QString &from, const QString &folder);
// Unpacks folder + "arhive.zip" and deciphers its members into folder.
void UnpackAndDecipher(const QString &folder);
// The rules of the unpacked package in folder.
struct TRulesLoad {
  TFWRules rules;
  QString problem;  // empty once a rules set, even an empty one, has loaded
  bool filesMissing = false;  // an image a rule names is not in the folder
  bool noRulesFile = false;   // the package holds no rules.json
};
TRulesLoad LoadPackageRules(const QString &folder);
// Why the rules of a downloaded package cannot be used, for the operator;
// empty when they can.
QString RulesProblem(const TRulesLoad &load);

}  // namespace startup
