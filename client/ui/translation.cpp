#include "ui/translation.h"

#include <QCoreApplication>
#include <QTranslator>
#include <memory>
#include <string>

#include "platform/translate.h"

// The embedded translation lives in kui, a static library: its resource is registered by hand.
static void RegisterTranslationResource() {
    Q_INIT_RESOURCE(kestrine_i18n);
}

namespace ui {

namespace {

constexpr const char* kEnglishQm = ":/i18n/kestrine_en.qm";

// Shared with the translator given to platform::Tr, so a text looked up on a worker thread never
// meets a translator being destroyed.
std::shared_ptr<QTranslator> gTranslator;

void DetachFromApplication() {
    if (gTranslator && QCoreApplication::instance())
        QCoreApplication::removeTranslator(gTranslator.get());
}

}  // namespace

bool KeepsChineseTexts(const QLocale& locale) {
    return locale.language() == QLocale::Chinese;
}

bool InstallUserLanguage(const QLocale& locale) {
    RemoveUserLanguage();
    if (KeepsChineseTexts(locale))
        return true;
    static const bool registered = (RegisterTranslationResource(), true);
    (void)registered;
    auto translator = std::make_shared<QTranslator>();
    if (!translator->load(QString::fromLatin1(kEnglishQm)))
        return false;
    gTranslator = translator;
    AttachLanguageToApplication();
    platform::SetTranslator([translator](const char* context, const char* text) {
        const QString out = translator->translate(context, text);
        if (out.isEmpty())
            return std::string();
        const QByteArray utf8 = out.toUtf8();
        return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
    });
    return true;
}

void AttachLanguageToApplication() {
    if (gTranslator && QCoreApplication::instance())
        QCoreApplication::installTranslator(gTranslator.get());
}

void RemoveUserLanguage() {
    platform::SetTranslator(nullptr);
    DetachFromApplication();
    gTranslator.reset();
}

}  // namespace ui
