#pragma once
// The text a picture draws: it is played onto a device that records every piece of text
// with its position (in the picture's coordinates) and colour, and gathers the pieces into
// rows by their baseline.

#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPicture>
#include <QStringList>
#include <QTextItem>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

class PictureText final : public QPaintDevice {
public:
    struct Piece {
        QString text;
        QPointF position;
        QColor color;
    };

    explicit PictureText(const QPicture& picture) {
        QPainter painter(this);
        painter.drawPicture(0, 0, picture);
    }
    ~PictureText() override = default;

    const std::vector<Piece>& Pieces() const { return m_engine.pieces; }
    // The pieces on one baseline joined from left to right, rows from top to bottom.
    QStringList Rows() const {
        std::map<long, std::vector<Piece>> rows;
        for (const Piece& piece : m_engine.pieces) {
            rows[std::lround(piece.position.y() * 100)].push_back(piece);
        }
        QStringList out;
        for (auto& [y, pieces] : rows) {
            std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
                return a.position.x() < b.position.x();
            });
            QString row;
            for (const Piece& piece : pieces) {
                row += piece.text;
            }
            out << row;
        }
        return out;
    }

    QPaintEngine* paintEngine() const override { return &m_engine; }

protected:
    int metric(PaintDeviceMetric metric) const override {
        switch (metric) {
        case PdmWidth:
            return 100000;
        case PdmHeight:
            return 100000;
        case PdmWidthMM:
        case PdmHeightMM:
            return 100000 * 254 / 960;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return 96;
        case PdmDepth:
            return 32;
        case PdmNumColors:
            return 0x7FFFFFFF;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return static_cast<int>(devicePixelRatioFScale());
        default:
            break;
        }
        return 0;
    }

private:
    class Engine final : public QPaintEngine {
    public:
        Engine() : QPaintEngine(AllFeatures) {}
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState& change) override {
            if (change.state() & DirtyPen) {
                m_pen = change.pen();
            }
            if (change.state() & DirtyTransform) {
                m_transform = change.transform();
            }
        }
        void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
        void drawTextItem(const QPointF& p, const QTextItem& item) override {
            pieces.push_back({item.text(), m_transform.map(p), m_pen.color()});
        }
        Type type() const override { return User; }

        std::vector<Piece> pieces;

    private:
        QPen m_pen;
        QTransform m_transform;
    };

    mutable Engine m_engine;
};
