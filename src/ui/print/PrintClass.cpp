#include "ui/print/PrintClass.h"

#include <QFont>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QPaintDevice>
#include <QPainter>
#include <QPicture>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Control characters have no glyph in the views' fonts; the views show a dot in their
// place, and so does the printout.
char32_t Shown(char32_t ch) {
    if (ch < 0x20 || (ch >= 0x7F && ch < 0xA0)) {
        return 0x00B7;
    }
    return ch;
}

QColor FromBgr(uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFFu), static_cast<int>((bgr >> 8) & 0xFFu),
                  static_cast<int>((bgr >> 16) & 0xFFu));
}

// A style's font at its size in layout units on a device of the given resolution: point
// sizes are taken at 96 units per inch whatever the device's own resolution.
QFont FontFor(const TextStyle& style, int deviceDpi) {
    QFont font(QString::fromStdString(style.fontName));
    const double points = std::clamp(style.sizeHalfPoints, 2, 3276) / 2.0;
    font.setPointSizeF(points * LayoutUnitsPerInch / std::max(1, deviceDpi));
    font.setBold(style.bold);
    // Rows are measured character by character; kerning would draw them wider or narrower.
    font.setKerning(false);
    return font;
}

} // namespace

class TPrintPaginator::TQtTextMeasure final : public TTextMeasure {
public:
    explicit TQtTextMeasure(const std::vector<TextStyle>& styles) {
        m_faces.reserve(styles.size());
        for (const TextStyle& style : styles) {
            const QFont font = FontFor(style, m_reference.logicalDpiY());
            Face face{QFontMetricsF(font, &m_reference), 0, 0, 0, {}};
            face.ascent = face.metrics.ascent();
            face.height = std::ceil(face.metrics.lineSpacing());
            if (QFontInfo(font).fixedPitch()) {
                face.monoAdvance =
                    face.metrics.horizontalAdvance(QString(64, QLatin1Char('0'))) / 64.0;
            }
            face.latin1.fill(-1);
            m_faces.push_back(std::move(face));
        }
    }

    double Advance(int style, char32_t ch) override {
        Face& face = m_faces[static_cast<size_t>(style)];
        const char32_t shown = Shown(ch);
        if (shown < 0x100) {
            if (face.monoAdvance > 0) {
                return face.monoAdvance;
            }
            double& cached = face.latin1[shown];
            if (cached < 0) {
                cached = face.metrics.horizontalAdvance(QChar(static_cast<char16_t>(shown)));
            }
            return cached;
        }
        return face.metrics.horizontalAdvance(QString::fromUcs4(&shown, 1));
    }
    double RowHeight(int style) override { return m_faces[static_cast<size_t>(style)].height; }
    double Ascent(int style) override { return m_faces[static_cast<size_t>(style)].ascent; }

private:
    struct Face {
        QFontMetricsF metrics;
        double ascent;
        double height;
        double monoAdvance; // 0: proportional
        std::array<double, 256> latin1;
    };
    // Measured on the kind of device the pages are recorded on.
    QPicture m_reference;
    std::vector<Face> m_faces;
};

TPrintPaginator::TPrintPaginator() = default;
TPrintPaginator::~TPrintPaginator() = default;

void TPrintPaginator::Reset(const StyledText& source) {
    Reset(TPrintText(source));
}

void TPrintPaginator::Reset(TPrintText&& source) {
    m_source = std::move(source);
    m_measure = std::make_unique<TQtTextMeasure>(m_source.Styles());
    m_paginator.Reset();
    m_endBefore = NoLimit;
}

void TPrintPaginator::ResetHead(TPrintText&& head) {
    Reset(std::move(head));
    // The head's last line lacks its line break and the lines after it are missing: a page
    // reaching into that line could come out shorter than from the whole text.
    m_endBefore = m_source.LineStart(m_source.Lines().size() - 1);
}

void TPrintPaginator::Complete(TPrintText&& whole) {
    // Offsets are the same in the whole text; only the style numbers may differ, and the
    // pages already drawn do not need them.
    m_source = std::move(whole);
    m_measure = std::make_unique<TQtTextMeasure>(m_source.Styles());
    m_endBefore = NoLimit;
}

bool TPrintPaginator::HasMorePages(double widthInches, double heightInches) const {
    return m_measure &&
           m_paginator.HasMorePages(m_source, *m_measure, widthInches, heightInches, m_endBefore);
}

void TPrintPaginator::DrawNextPage(QPainter& canvas, const QRectF& area, double widthInches,
                                   double heightInches) {
    if (!m_measure) {
        return;
    }
    const std::optional<TLaidPage> page =
        m_paginator.NextPage(m_source, *m_measure, widthInches, heightInches);
    if (!page) {
        return;
    }
    const double width = widthInches * LayoutUnitsPerInch;
    const double height = heightInches * LayoutUnitsPerInch;
    const QPaintDevice* device = canvas.device();
    const int dpi = device != nullptr ? device->logicalDpiY() : 96;
    std::vector<QFont> fonts;
    std::vector<QColor> colors;
    for (const TextStyle& style : m_source.Styles()) {
        fonts.push_back(FontFor(style, dpi));
        colors.push_back(FromBgr(style.color));
    }

    canvas.save();
    canvas.translate(area.topLeft());
    canvas.scale(area.width() / width, area.height() / height);
    canvas.setClipRect(QRectF(0, 0, width, height), Qt::IntersectClip);
    for (const TLaidRow& row : page->rows) {
        const TPrintText::Line& line = m_source.Lines()[row.line];
        const double baseline = row.top + row.ascent;
        double x = 0;
        // The runs of the row, each drawn whole at the sum of its characters' advances.
        auto run = std::upper_bound(
            line.runs.begin(), line.runs.end(), row.from,
            [](size_t column, const TPrintText::Run& r) { return column < r.start; });
        if (run != line.runs.begin()) {
            --run;
        }
        size_t i = row.from;
        while (i < row.to && run != line.runs.end()) {
            const auto following = std::next(run);
            const size_t end = std::min(row.to, following == line.runs.end() ? line.text.size()
                                                                             : following->start);
            QString text;
            text.reserve(static_cast<qsizetype>(end - i));
            double advance = 0;
            for (size_t k = i; k < end; ++k) {
                const char32_t shown = Shown(line.text[k]);
                if (shown < 0x10000) {
                    text += QChar(static_cast<char16_t>(shown));
                } else {
                    text += QString::fromUcs4(&shown, 1);
                }
                advance += m_measure->Advance(run->style, line.text[k]);
            }
            canvas.setFont(fonts[static_cast<size_t>(run->style)]);
            canvas.setPen(colors[static_cast<size_t>(run->style)]);
            canvas.drawText(QPointF(x, baseline), text);
            x += advance;
            i = end;
            run = following;
        }
    }
    canvas.restore();
}
