// libFuzzer target of the RTF reader: any bytes must give a document without crash or hang.
#include <QGuiApplication>
#include <QTextDocument>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "readme/rtf_reader.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Laying the document out needs fonts, which need an application object.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QGuiApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QTextDocument document;
    ReadRtf(std::string_view(reinterpret_cast<const char*>(data), size), document);
    // Lay it out as the view would, at the page's width.
    document.setTextWidth(560);
    (void)document.size();
    return 0;
}
