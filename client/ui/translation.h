// The user's language for the client's texts. The texts are written in Chinese; a Chinese locale
// (any country) keeps them as they are, every other locale gets the English translation built
// from client/ui/translations/*_en.ts and embedded as the resource ":/i18n/kestrine_en.qm".
// The chosen translator serves both Qt (QCoreApplication::installTranslator, once an
// application object exists) and the texts below the ui folder (platform::SetTranslator), so
// the console front end is translated too. This module owns the one translator in use.
// Thread rule: install and remove on the main thread, before the worker threads start or after
// they stop; the translator it hands to platform::Tr may then be used from any thread.
#pragma once

#include <QLocale>

namespace ui {

// True when texts shown in `locale` stay in Chinese: its language is Chinese, whatever the
// country or script.
bool KeepsChineseTexts(const QLocale& locale);

// Chooses the language of `locale` (QLocale::system() honours LC_ALL, LC_MESSAGES and LANG) and
// installs its translator, or none for Chinese. False when the English translation cannot be
// loaded; the texts then stay Chinese.
bool InstallUserLanguage(const QLocale& locale = QLocale::system());

// Installs the translator already chosen into the application object created after the choice.
void AttachLanguageToApplication();

// Back to the texts as written: no translator in Qt or for platform::Tr.
void RemoveUserLanguage();

}  // namespace ui
