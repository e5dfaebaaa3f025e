// SPDX-License-Identifier: GPL-3.0-or-later
// The window's language. Its texts are written in Chinese, which is also what it shows where the
// system asks for Chinese or for no language at all (the C locale of a bare machine); any other
// language gets the English translation, embedded in the program (res/korvane_en.ts, compiled
// at build time). `korvane --lang zh|en` chooses instead of the system.
#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <optional>

namespace korvane::gui {

enum class Language { kChinese, kEnglish };

// The language that `--lang` names: "zh" or "en"; none for anything else.
std::optional<Language> LanguageNamed(const QString& name);

// The language for the system's UI languages, most preferred first, as QLocale::uiLanguages()
// gives them ("zh-CN", "en-US", "de"): the first of them that is Chinese or English. "C" (no
// language set) counts as Chinese; a list of other languages only gets English.
Language LanguageFor(const QStringList& ui_languages);

// The language the system asks for, by LanguageFor. A C locale (on Unix: the first of LC_ALL,
// LC_MESSAGES and LANG that is set is "C", "POSIX" or "C.<codeset>", or none is set) counts as
// no language set even when LANGUAGE names some, as the C library does.
Language SystemLanguage();

// Makes `language` the language of every text shown from now on, the program's and Qt's own
// (its buttons and dialogs): installs the translators it needs into the application and removes
// those an earlier call installed. Windows made before keep their texts. Needs a QApplication.
// Returns false when a translation could not be loaded; the texts it covers stay as written.
bool UseLanguage(Language language);

// The language last given to UseLanguage (Chinese before any call).
Language CurrentLanguage();

// The locale of the window's widgets in the current language: the names of months and days in
// the date pickers' calendars.
QLocale WindowLocale();

}  // namespace korvane::gui
