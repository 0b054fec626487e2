#include "l3/inspect.h"

#include <algorithm>
#include <cstdio>

#include "l3/frame_header.h"
#include "l3/frame_length.h"

namespace l3 {

namespace {

constexpr int kWidth = 900;
constexpr int kPanelHeight = 200;
constexpr int kLeft = 70, kRight = 20, kTop = 40, kGap = 50, kBottom = 40;
constexpr int kTicks = 5;
constexpr size_t kMaxPoints = 2000;  // longer streams are drawn from frame groups' means

void append(std::string& out, const char* format, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    out += text;
}

std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

// A round step of about range / kTicks: 1, 2 or 5 times a power of ten.
double niceStep(double range) {
    double step = 1;
    while (step * kTicks < range) {
        if (step * 2 * kTicks >= range) return step * 2;
        if (step * 5 * kTicks >= range) return step * 5;
        step *= 10;
    }
    return step;
}

struct Panel {
    int top;
    const char* label;
    const char* colour;
    std::vector<double> values;
};

void drawPanel(std::string& out, const Panel& p, double seconds) {
    const int plotWidth = kWidth - kLeft - kRight;
    double top = 1;
    for (double v : p.values) top = std::max(top, v);
    const double step = niceStep(top);
    top = step * static_cast<int>(top / step + 1);
    append(out,
           "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#999\"/>\n",
           kLeft, p.top, plotWidth, kPanelHeight);
    for (double y = 0; y <= top + step / 2; y += step) {
        const double py = p.top + kPanelHeight - y / top * kPanelHeight;
        append(out, "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", kLeft,
               py, kLeft + plotWidth, py);
        append(out, "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n", kLeft - 6, py + 4,
               y);
    }
    append(out, "<text x=\"%d\" y=\"%d\">%s</text>\n", kLeft, p.top - 8, p.label);
    const double stepSeconds = niceStep(seconds);
    for (double t = 0; t <= seconds; t += stepSeconds) {
        const double px = kLeft + t / std::max(seconds, 1e-9) * plotWidth;
        append(out, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%g</text>\n", px,
               p.top + kPanelHeight + 16, t);
    }
    if (p.values.empty()) return;
    out += "<polyline fill=\"none\" stroke-width=\"1.2\" stroke=\"";
    out += p.colour;
    out += "\" points=\"";
    const size_t n = p.values.size();
    for (size_t i = 0; i < n; ++i) {
        const double px =
            kLeft +
            (n == 1 ? 0.0 : static_cast<double>(i) / static_cast<double>(n - 1) * plotWidth);
        const double py = p.top + kPanelHeight - p.values[i] / top * kPanelHeight;
        append(out, "%.1f,%.1f ", px, py);
    }
    out += "\"/>\n";
}

}  // namespace

std::string bitratePlotSvg(const uint8_t* data, size_t size, const StreamReport& report,
                           const std::string& title) {
    const size_t first = report.firstAudio, count = audioFrameCount(report);
    const size_t group = std::max<size_t>(1, (count + kMaxPoints - 1) / kMaxPoints);
    Panel rate{kTop + 20, "bit rate (kbit/s)", "#1f5fbf", {}};
    Panel reservoir{
        kTop + 20 + kPanelHeight + kGap, "bit reservoir: main_data_begin (bytes)", "#bf5f1f", {}};
    double seconds = 0;
    double kbps = 0, mdb = 0;  // sums over the group so far
    size_t inGroup = 0;
    forEachFrame(data, size, report, [&](size_t k, const FrameFacts& f) {
        if (k < first) return;
        kbps += bitrateTable[isMpeg1(f.header)][bitrateIndex(f.header)] / 1000.0;
        mdb += f.main_data_begin;
        seconds += static_cast<double>(samplesPerFrame(f.header)) /
                   samplingRateTable[versionCode(f.header)][samplingIndex(f.header)];
        if (++inGroup < group && k + 1 < first + count) return;
        rate.values.push_back(kbps / static_cast<double>(inGroup));
        reservoir.values.push_back(mdb / static_cast<double>(inGroup));
        kbps = mdb = 0;
        inGroup = 0;
    });
    const int height = rate.top + 2 * kPanelHeight + kGap + kBottom;
    std::string out;
    append(out,
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
           "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n",
           kWidth, height, kWidth, height);
    append(out, "<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n", kWidth, height);
    out += "<text x=\"" + std::to_string(kLeft) + "\" y=\"24\" font-size=\"15\">" + escaped(title) +
           "</text>\n";
    drawPanel(out, rate, seconds);
    drawPanel(out, reservoir, seconds);
    append(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">time (s)</text>\n",
           kLeft + (kWidth - kLeft - kRight) / 2, height - 6);
    out += "</svg>\n";
    return out;
}

}  // namespace l3
