// The user's language for every text the user sees (tray, tooltips, balloons, dialogs, the
// window, console front-end lines). The client's texts are written in Chinese, its first
// language; `Tr` looks a text up in the translator the front end installed for the user's locale
// and returns the text itself when there is none or it has no entry. Log lines never go through
// it. A call site names its context and text as literals, `platform::Tr("Work", "...")`, so the
// translation tools find it (lupdate with `-tr-function-alias translate+=Tr,translate+=TrShown`;
// CUtil::TrShown is the same in the ANSI code page). Thread rule: SetTranslator from any thread (normally
// once at start); Tr from any thread.
#pragma once

#include <functional>
#include <string>

// Marks a text kept in a constant for the translation tools (lupdate with
// `-tr-function-alias QT_TRANSLATE_NOOP+=KESTRINE_TR_NOOP`); the text itself is unchanged and is
// translated where it is shown, `platform::Tr(context, constant)`.
#define KESTRINE_TR_NOOP(context, text) text

namespace platform {

// Returns the translation of `text` (UTF-8) in `context`, or an empty string when it has none.
using Translator = std::function<std::string(const char* context, const char* text)>;

// Installs the translator; an empty one makes every text its original again.
void SetTranslator(Translator translator);

// `text` in the user's language: the translator's answer, or `text` when it has none.
std::string Tr(const char* context, const char* text);

// `text` with every one of its lowest-numbered markers "%1".."%9" replaced by `value`, as
// QString::arg: a translation puts each value where its language wants it, and a call per value
// fills "%1", then "%2". A text without a marker is returned as it is.
std::string WithArg(std::string text, const std::string& value);

}  // namespace platform
