// The ReadMe as an HTML fragment for the browser page: the document our RTF reader fills, written
// as plain semantic markup the page's own styles (theme, zoom) apply to.
#pragma once

#include <QByteArray>
#include <QString>
#include <string_view>

class QTextDocument;

// `document` as an HTML fragment, no <html>/<head>/<body>: paragraphs, lists, tables and
// inline markup, with alignment, colours and sizes (in em of the document's most used size) as
// inline styles. Every text and attribute is escaped; links are kept for http, https and
// mailto only, other anchors become their text. Well-formed as XML inside any wrapper element;
// the same document always gives the same bytes.
QString ReadMeHtml(const QTextDocument& document);

// The RTF document `rtf`, read as the desktop's ReadMe page reads it, as that fragment in UTF-8.
QByteArray RtfToHtml(std::string_view rtf);
