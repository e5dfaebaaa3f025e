// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <memory>

namespace korvane::gui {

namespace {

Language g_language = Language::kChinese;
// What UseLanguage installed, removed again by the next call.
std::unique_ptr<QTranslator> g_program_texts;
std::unique_ptr<QTranslator> g_qt_texts;

bool IsLanguage(const QString& tag, const char* code) {
  const QString language = tag.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0);
  return language.compare(QLatin1String(code), Qt::CaseInsensitive) == 0;
}

// Installs a translator from `file` in `directory`; drops it when there is no such file.
std::unique_ptr<QTranslator> Install(const QString& file, const QString& directory) {
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(file, directory) ||
      !QCoreApplication::installTranslator(translator.get())) {
    return nullptr;
  }
  return translator;
}

}  // namespace

std::optional<Language> LanguageNamed(const QString& name) {
  if (name == QLatin1String("zh")) return Language::kChinese;
  if (name == QLatin1String("en")) return Language::kEnglish;
  return std::nullopt;
}

Language LanguageFor(const QStringList& ui_languages) {
  for (const QString& tag : ui_languages) {
    if (tag.isEmpty() || tag == QLatin1String("C") || tag == QLatin1String("POSIX") ||
        IsLanguage(tag, "zh")) {
      return Language::kChinese;
    }
    if (IsLanguage(tag, "en")) return Language::kEnglish;
  }
  return ui_languages.isEmpty() ? Language::kChinese : Language::kEnglish;
}

Language SystemLanguage() {
#ifndef _WIN32
  // The C library's messages locale: the first of these that is set. In the C locale (also
  // C.UTF-8) LANGUAGE is not read, and nothing set at all is the C locale.
  QByteArray messages;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    messages = qgetenv(variable);
    if (!messages.isEmpty()) break;
  }
  if (messages.isEmpty() || messages == "C" || messages == "POSIX" || messages.startsWith("C.")) {
    return Language::kChinese;
  }
#endif
  const QLocale system = QLocale::system();
  if (system.language() == QLocale::C) return Language::kChinese;
  return LanguageFor(system.uiLanguages());
}

bool UseLanguage(Language language) {
  // The translators go before they are destroyed: an application still holding one would read
  // freed memory.
  for (auto* installed : {&g_program_texts, &g_qt_texts}) {
    if (*installed) QCoreApplication::removeTranslator(installed->get());
    installed->reset();
  }
  g_language = language;
  if (language == Language::kEnglish) {
    // Qt's own texts are English as they are.
    g_program_texts = Install(QStringLiteral("korvane_en.qm"), QStringLiteral(":/i18n"));
    return g_program_texts != nullptr;
  }
  // The program's texts are Chinese as they are; Qt's own come from Qt's translations ("确定").
  g_qt_texts = Install(QStringLiteral("qtbase_zh_CN.qm"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  return g_qt_texts != nullptr;
}

Language CurrentLanguage() {
  return g_language;
}

QLocale WindowLocale() {
  return g_language == Language::kEnglish ? QLocale(QLocale::English, QLocale::UnitedStates)
                                          : QLocale(QLocale::Chinese, QLocale::China);
}

}  // namespace korvane::gui
