#include "platform/translate.h"

#include <memory>
#include <mutex>

namespace platform {

namespace {

std::mutex gMu;
std::shared_ptr<const Translator> gTranslator;

}  // namespace

void SetTranslator(Translator translator) {
    auto next = translator ? std::make_shared<const Translator>(std::move(translator)) : nullptr;
    std::lock_guard<std::mutex> lock(gMu);
    gTranslator = std::move(next);
}

std::string Tr(const char* context, const char* text) {
    std::shared_ptr<const Translator> translator;
    {
        std::lock_guard<std::mutex> lock(gMu);
        translator = gTranslator;
    }
    if (translator) {
        std::string translated = (*translator)(context, text);
        if (!translated.empty())
            return translated;
    }
    return text;
}

}  // namespace platform
