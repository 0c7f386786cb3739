// Bodies of number lookup answers.
#include "FuzzSupport.h"

#include "app/links/LookupAnswer.h"
#include "app/links/StreamLink.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const LookupAnswer answer =
        LookupAnswer::evaluate(200, QNetworkReply::NoError, QString(), fuzz::bytes(data, size));
    if (answer.ok) {
        fuzz::require(StreamLink(answer.url).isUsable(), "only a usable link is handed on");
        fuzz::require(answer.errorMessage.isEmpty(), "a good answer has no error text");
    } else {
        fuzz::require(!answer.errorMessage.isEmpty(), "a failure always has a text");
        fuzz::require(answer.url.isEmpty(), "a failure hands on no link");
    }
    return 0;
}
