// Message boxes: the error icon, the text and one OK button.
//
// A box of the UI thread stops every dialog until it is answered, as on the
// original platform, while the UI thread keeps serving the core's queue. A
// box a download worker asks for is shown by the UI thread while the worker
// sleeps; it holds up that worker alone. The toolkit's own modal windows are
// not used, because the toolkit lets only the newest of them take input: a
// box raised by a download worker would then lock the progress dialog's
// Cancel and close box.
#include <FL/Fl_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "platform/fltk/fltk_int.h"

namespace fltkui {

int g_nUiBoxes = 0;
std::vector<Fl_Window *> g_openBoxes;

namespace {

// A box a worker asked for, and the worker's wait for its answer.
struct BoxRequest {
  std::string text;
  std::string caption;
  HWND hOwner = nullptr;
  bool bDone = false;  // g_boxMx
  std::condition_variable cv;
};

std::mutex g_boxMx;  // guards the requests below and their bDone
std::vector<BoxRequest *> g_boxRequests;

// The error icon: a red disc with a white cross.
class ErrorIcon : public Fl_Widget {
 public:
  ErrorIcon(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}
  void draw() override {
    fl_color(fl_rgb_color(200, 30, 30));
    fl_pie(x(), y(), w(), h(), 0, 360);
    fl_color(FL_WHITE);
    fl_line_style(FL_SOLID | FL_CAP_ROUND, 3);
    const int d = w() / 3;
    fl_line(x() + d, y() + d, x() + w() - d, y() + h() - d);
    fl_line(x() + w() - d, y() + d, x() + d, y() + h() - d);
    fl_line_style(0);
  }
};

struct BoxState {
  bool bDone = false;
  BoxRequest *pRequest = nullptr;  // a worker's box; null for the UI thread's
  HWND hOwner = nullptr;
};

void AnswerRequest(BoxRequest *pRequest) {
  // Notified under the lock: once the worker sees bDone it may return and
  // its request is gone.
  std::lock_guard<std::mutex> lk(g_boxMx);
  pRequest->bDone = true;
  pRequest->cv.notify_all();
}

void FinishBox(BoxState *pState) {
  if (pState->bDone) return;
  pState->bDone = true;
  if (pState->pRequest) {
    AnswerRequest(pState->pRequest);
    pState->pRequest = nullptr;
  }
}

class BoxWindow : public Fl_Double_Window {
 public:
  BoxWindow(int w, int h) : Fl_Double_Window(w, h) {}
  BoxState *pState = nullptr;
  int handle(int e) override {
    WatchMinimize(this, e);
    // Enter and Escape both answer the one button.
    if ((e == FL_KEYBOARD || e == FL_SHORTCUT) &&
        (Fl::event_key() == FL_Escape || Fl::event_key() == FL_Enter ||
         Fl::event_key() == FL_KP_Enter)) {
      FinishBox(pState);
      return 1;
    }
    return Fl_Double_Window::handle(e);
  }
};

void BoxCloseCallback(Fl_Widget *w, void *) { FinishBox(static_cast<BoxWindow *>(w)->pState); }
void BoxOkCallback(Fl_Widget *w, void *) {
  FinishBox(static_cast<BoxWindow *>(w->window())->pState);
}

// The sizes of a box: its text wrapped at a fixed width, or narrower when
// it fits on fewer.
struct BoxLayout {
  int nPad, nIcon, nButtonW, nButtonH;
  int nTextW, nBodyH;
  int nW, nH;
};

BoxLayout MeasureBox(const std::string &label, int nFontSize) {
  fl_font(FL_HELVETICA, nFontSize);
  int nTextW = FltkScaled(360), nTextH = 0;
  fl_measure(label.c_str(), nTextW, nTextH, 1);
  // Unwrapped text narrower than the wrap width keeps its own width.
  int nOneW = 0, nOneH = 0;
  fl_measure(label.c_str(), nOneW, nOneH, 1);
  if (nOneW < nTextW) {
    nTextW = nOneW;
    nTextH = nOneH;
  }
  BoxLayout b{};
  b.nPad = FltkScaled(16);
  b.nIcon = FltkScaled(32);
  b.nButtonW = FltkScaled(80);
  b.nButtonH = FltkScaled(26);
  b.nTextW = nTextW;
  b.nW = std::max(b.nPad + b.nIcon + b.nPad + nTextW + b.nPad, b.nButtonW + 2 * b.nPad);
  b.nW = std::max(b.nW, FltkScaled(220));
  b.nBodyH = std::max(b.nIcon, nTextH);
  b.nH = b.nPad + b.nBodyH + b.nPad + b.nButtonH + b.nPad;
  return b;
}

// Centred on the owner when it is on the screen, else on the screen. A
// worker's box goes below its owner instead (above it when the screen ends
// first), so that it never covers the progress dialog's Cancel button; the
// room between leaves space for a window manager's frame.
void PlaceBox(BoxWindow *pWin, const Fl_Window *pOwner, bool bWorker) {
  const int nW = pWin->w(), nH = pWin->h();
  if (pOwner && bWorker) {
    const int nGap = FltkScaled(40);
    int nY = pOwner->y() + pOwner->h() + nGap;
    if (nY + nH > Fl::h()) nY = std::max(0, pOwner->y() - nGap - nH);
    pWin->position(std::max(0, pOwner->x() + (pOwner->w() - nW) / 2), nY);
  } else if (pOwner) {
    pWin->position(pOwner->x() + (pOwner->w() - nW) / 2, pOwner->y() + (pOwner->h() - nH) / 2);
  } else {
    pWin->position((Fl::w() - nW) / 2, (Fl::h() - nH) / 2);
  }
}

BoxWindow *MakeBox(const std::string &text, const std::string &caption, HWND hOwner,
                   BoxState *pState) {
  const int nFontSize = FltkSystemFontSize();
  const std::string label = LabelText(text);
  const BoxLayout b = MeasureBox(label, nFontSize);
  Fl_Group::current(nullptr);
  BoxWindow *pWin = new BoxWindow(b.nW, b.nH);
  pWin->pState = pState;
  pWin->begin();
  new ErrorIcon(b.nPad, b.nPad, b.nIcon, b.nIcon);
  StaticText *pText = new StaticText(b.nPad + b.nIcon + b.nPad, b.nPad, b.nTextW + 2, b.nBodyH);
  pText->labelfont(FL_HELVETICA);
  pText->labelsize(nFontSize);
  pText->copy_label(label.c_str());
  Fl_Button *pOk = new Fl_Button((b.nW - b.nButtonW) / 2, b.nH - b.nPad - b.nButtonH, b.nButtonW,
                                 b.nButtonH, "OK");
  pOk->labelsize(nFontSize);
  pOk->callback(BoxOkCallback);
  pWin->end();
  pWin->copy_label(caption.c_str());
  pWin->callback(BoxCloseCallback);
  SetFixedFrame(pWin);
  Fl_Window *pOwner = ViewWindow(hOwner);
  PlaceBox(pWin, pOwner, pState->pRequest != nullptr);
  // Above the other windows, but not the toolkit's modal window: which
  // dialogs a box holds up is decided by who raised it (see above).
  pWin->set_non_modal();
  pState->hOwner = hOwner;
  KeepShown(pWin);
  ShowWithHints(pWin, pOwner, true, pState->pRequest == nullptr);
  FocusWindow(pWin);
  pOk->take_focus();
  g_openBoxes.push_back(pWin);
  return pWin;
}

void DropBox(BoxWindow *pWin, BoxState *pState) {
  g_openBoxes.erase(std::remove(g_openBoxes.begin(), g_openBoxes.end(), pWin), g_openBoxes.end());
  CloseWindow(pWin, pState->hOwner);
}

// A worker's box lives on the UI thread; the worker sleeps until it is
// answered. The box and its state go away when it is answered. It holds up
// its worker alone: the progress dialog under it keeps its Cancel button and
// close box (the operator may cancel the download instead of answering), and
// the UI thread keeps serving meanwhile.
struct WorkerBox {
  BoxState state;
  BoxWindow *pWin = nullptr;
};
std::vector<std::unique_ptr<WorkerBox>> g_workerBoxes;

// Drops the workers' boxes that are answered, or that belong to hOwner
// (answered first) when it is given.
void DropWorkerBoxes(HWND hOwner) {
  for (auto it = g_workerBoxes.begin(); it != g_workerBoxes.end();) {
    if (hOwner ? (*it)->state.hOwner == hOwner : (*it)->state.bDone) {
      FinishBox(&(*it)->state);
      DropBox((*it)->pWin, &(*it)->state);
      it = g_workerBoxes.erase(it);
    } else {
      ++it;
    }
  }
}

int BoxDone(void *p) { return static_cast<BoxState *>(p)->bDone ? 1 : 0; }

}  // namespace

// A worker's box over a dialog that goes (the progress dialog cancelled
// under it) is answered with it: the cancel is the operator's answer. Left
// open, the box would stay behind the main window with nothing to keep it
// above, its worker asleep in it, the cancel never noted, and the program's
// end waiting for that worker.
void AnswerWorkerBoxesOf(HWND hOwner) { DropWorkerBoxes(hOwner); }

void ServeWorkerBoxes() {
  std::vector<BoxRequest *> requests;
  {
    std::lock_guard<std::mutex> lk(g_boxMx);
    requests.swap(g_boxRequests);
  }
  for (BoxRequest *pReq : requests) {
    if (pReq->hOwner && !IsWindow(pReq->hOwner)) {
      // Its dialog went before the box could be shown: answered as above.
      AnswerRequest(pReq);
      continue;
    }
    auto wb = std::make_unique<WorkerBox>();
    wb->state.pRequest = pReq;
    wb->pWin = MakeBox(pReq->text, pReq->caption, pReq->hOwner, &wb->state);
    g_workerBoxes.push_back(std::move(wb));
  }
  DropWorkerBoxes(nullptr);
}

int FltkMessageBox(HWND hOwner, const char *pszText, const char *pszCaption, UINT) {
  if (OnUiThread()) {
    BoxState state;
    BoxWindow *pWin = MakeBox(pszText, pszCaption, hOwner, &state);
    g_nUiBoxes++;
    UiRunLoopUntil(BoxDone, &state);
    g_nUiBoxes--;
    DropBox(pWin, &state);
    return IDOK;
  }
  BoxRequest req;
  req.text = pszText;
  req.caption = pszCaption;
  req.hOwner = hOwner;
  {
    std::lock_guard<std::mutex> lk(g_boxMx);
    g_boxRequests.push_back(&req);
  }
  FltkWake();
  std::unique_lock<std::mutex> lk(g_boxMx);
  req.cv.wait(lk, [&] { return req.bDone; });
  return IDOK;
}

}  // namespace fltkui
