// Update manifests and the offer text made of them.
#include "FuzzSupport.h"

#include "app/services/UpdateManifest.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

namespace {
void checkOffer(const UpdateManifest &manifest, const QUrl &manifestUrl)
{
    const QString text = manifest.offerText(manifestUrl);
    const bool link = manifest.hasDownloadLink(manifestUrl);
    // The manifest's texts are escaped: every tag and every quote is the
    // program's own (line breaks, and the one link with its two attributes).
    const int tags = text.count(QLatin1Char('<'));
    fuzz::require(tags == text.count(QLatin1String("<br>")) + (link ? 2 : 0), "no tag from the manifest");
    fuzz::require(text.count(QLatin1Char('\'')) == (link ? 4 : 0), "no quote from the manifest");
    if (link) {
        const QUrl url(manifest.url);
        fuzz::require(url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"),
                      "only web links are offered");
        fuzz::require(!url.host().isEmpty(), "an offered link has a host");
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const UpdateManifest manifest = UpdateManifest::parse(fuzz::bytes(data, size));
    checkOffer(manifest, QUrl(QStringLiteral("http://updates.example/downloads/orvanta_win.json")));
    checkOffer(manifest, QUrl(QStringLiteral("https://updates.example/downloads/orvanta_win.json")));
    return 0;
}
