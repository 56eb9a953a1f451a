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

std::string WithArg(std::string text, const std::string& value) {
    char lowest = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        const char d = text[i + 1];
        if (text[i] == '%' && d >= '1' && d <= '9' && (lowest == 0 || d < lowest))
            lowest = d;
    }
    if (lowest == 0)
        return text;
    const std::string marker{'%', lowest};
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, from)) {
        out.append(text, from, at - from).append(value);
        from = at + marker.size();
    }
    return out.append(text, from, std::string::npos);
}

}  // namespace platform
