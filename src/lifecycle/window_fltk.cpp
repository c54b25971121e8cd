// frmUpdate on FLTK: a fixed 280 x 83 picture with three text fields drawn
// over it and an invisible click area over the drawn "Fermer".
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <array>
#include <exception>

#include "lifecycle/startup.h"
#include "lifecycle/window.h"
#include "player_texts.h"

extern const unsigned char kBackgroundPng[];
extern const std::size_t kBackgroundPngSize;
extern const unsigned char kGlobePng[];
extern const std::size_t kGlobePngSize;

namespace {

constexpr int kWidth = 280;
constexpr int kHeight = 83;
// The fields were laid out in twips; 15 twips make one pixel.
constexpr int Px(int twips) {
    return twips / 15;
}
// Tahoma 9.75 pt at 96 dpi is 13 pixels; Linux has no Tahoma, the sans face stands in.
constexpr int kFontSize = 13;

// A text drawn straight onto the picture: no background of its own, and
// no FLTK label syntax (an "@" in a file name must show as itself).
class TextField : public Fl_Widget {
public:
    TextField(int x, int y, int w, int h, Fl_Font font) : Fl_Widget(x, y, w, h), font_(font) {}

    void SetText(const std::string& text) {
        if (text == text_) return;
        text_ = text;
        // Transparent: the picture under the old text has to be drawn again.
        if (window()) window()->redraw();
    }
    const std::string& Text() const { return text_; }

    void draw() override {
        fl_push_clip(x(), y(), w(), h());
        fl_font(font_, kFontSize);
        fl_color(FL_BLACK);
        const std::string shown = Fitting();
        // fl_draw() would read "\n" and "\t" as layout; the text is one line.
        fl_draw(shown.c_str(), static_cast<int>(shown.size()), x(),
                y() + (h() + fl_height()) / 2 - fl_descent());
        fl_pop_clip();
    }

private:
    // The text cut to the field's width, ending in "…" when cut. Xlib
    // refuses to draw a very long string at all ("request too large"), so
    // only a field's worth of it is ever measured or drawn.
    std::string Fitting() const {
        constexpr std::size_t kMostCharacters = 400;
        std::string text;
        std::size_t characters = 0;
        for (const char c : text_) {
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++characters > kMostCharacters) break;
            text += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
        }
        if (characters <= kMostCharacters && fl_width(text.c_str(), static_cast<int>(text.size())) <= w()) {
            return text;
        }
        static const std::string kEllipsis = "\u2026";
        while (!text.empty()) {
            // Drop one whole UTF-8 character from the end.
            std::size_t cut = text.size() - 1;
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
            text.resize(cut);
            const std::string candidate = text + kEllipsis;
            if (fl_width(candidate.c_str(), static_cast<int>(candidate.size())) <= w()) return candidate;
        }
        return kEllipsis;
    }

    Fl_Font font_;
    std::string text_;
};

// lblQuitter: receives the click on the drawn close button, as a label's
// click does: pressed and released over it.
class ClickArea : public Fl_Box {
public:
    using Fl_Box::Fl_Box;
    int handle(int event) override {
        switch (event) {
            case FL_PUSH:
                return 1;
            case FL_RELEASE:
                if (Fl::event_inside(this)) do_callback();
                return 1;
            default:
                return Fl_Box::handle(event);
        }
    }
};

void OnQuitterClick(Fl_Widget*, void*) {
    // No exception may cross back into FLTK's event loop.
    try {
        lblQuitter_Click();
    } catch (const std::exception&) {
    }
}

// One OK button, no icon; Enter or Escape dismiss it like the button.
void ShowMessageBox(const std::string& text, const Fl_Image* icon) {
    fl_font(FL_HELVETICA, kFontSize);
    int textW = 0, textH = 0;
    fl_measure(text.c_str(), textW, textH, 0);
    const int w = std::clamp(textW + 40, 200, 640);
    if (textW + 40 > w) {
        textW = w - 40;
        fl_measure(text.c_str(), textW, textH, 0);
    }
    const int h = textH + 80;
    Fl_Double_Window dialog(w, h, texts::kAppTitle);
    Fl_Box message(20, 20, w - 40, textH + 10);
    message.label(text.c_str());
    message.labelfont(FL_HELVETICA);
    message.labelsize(kFontSize);
    message.align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_WRAP);
    Fl_Return_Button ok(w / 2 - 40, h - 40, 80, 26, texts::kOkButton);
    ok.callback([](Fl_Widget* button, void*) { button->window()->hide(); });
    dialog.end();
    dialog.set_modal();
    if (icon) dialog.icon(icon);
    dialog.position((Fl::w() - w) / 2, (Fl::h() - h) / 2);
    dialog.show();
    while (dialog.shown()) Fl::wait();
}

class FltkUpdateWindow : public UpdateWindow {
public:
    FltkUpdateWindow()
        : background_("background.png", kBackgroundPng, static_cast<int>(kBackgroundPngSize)),
          globe_("globe.png", kGlobePng, static_cast<int>(kGlobePngSize)),
          window_((Fl::w() - kWidth) / 2, (Fl::h() - kHeight) / 2, kWidth, kHeight, texts::kAppTitle),
          picture_(0, 0, kWidth, kHeight),
          label4_(Px(3240), Px(120), Px(735), Px(255), FL_HELVETICA_BOLD),
          l3_(Px(120), Px(675), Px(3975), Px(255), FL_HELVETICA),
          l2_(Px(120), Px(435), Px(3975), Px(255), FL_HELVETICA),
          quitter_(Px(3120), Px(960), Px(1095), Px(285)) {
        picture_.box(FL_NO_BOX);
        picture_.image(background_);
        label4_.SetText("0%");
        quitter_.box(FL_NO_BOX);
        quitter_.callback(OnQuitterClick);
        window_.end();
        window_.size_range(kWidth, kHeight, kWidth, kHeight);
        window_.icon(&globe_);
        window_.callback(OnWindowClose, this);
        Fl::visual(FL_DOUBLE | FL_RGB);
    }

    void Show() override {
        if (!unloaded_) window_.show();
    }
    void Unload() override {
        unloaded_ = true;
        window_.hide();
    }
    bool Unloaded() const override { return unloaded_; }

    void SetText(Field field, const std::string& text) override { FieldWidget(field).SetText(text); }
    std::string Text(Field field) const override {
        return const_cast<FltkUpdateWindow*>(this)->FieldWidget(field).Text();
    }

    void ProcessEvents() override { Fl::check(); }
    void WaitEvents(double seconds) override { Fl::wait(seconds); }
    // The X server's connection: readable when it has sent events.
    int EventDescriptor() const override { return fl_display ? ConnectionNumber(fl_display) : -1; }
    void RunUntilUnloaded() override {
        while (!unloaded_ && Fl::first_window()) Fl::wait();
    }
    void MessageBox(const std::string& text) override { ShowMessageBox(text, &globe_); }

private:
    static void OnWindowClose(Fl_Widget*, void* self) {
        // FLTK closes a window on Escape; this one only closes through the
        // window manager, and then without marker and without the game.
        if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
        static_cast<FltkUpdateWindow*>(self)->Unload();
    }

    TextField& FieldWidget(Field field) {
        switch (field) {
            case L2:
                return l2_;
            case L3:
                return l3_;
            case Label4:
            default:
                return label4_;
        }
    }

    Fl_PNG_Image background_;
    Fl_PNG_Image globe_;
    Fl_Double_Window window_;
    Fl_Box picture_;
    TextField label4_;
    TextField l3_;
    TextField l2_;
    ClickArea quitter_;
    bool unloaded_ = false;
};

}  // namespace

std::unique_ptr<UpdateWindow> MakeUpdateWindow() {
    return std::make_unique<FltkUpdateWindow>();
}
