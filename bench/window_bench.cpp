// Costs of the window layer that a download pays for: a worker's synchronous
// send to the progress dialog (one per received block), filling the sorted
// unit list at start, and the list's save after every unit's identity read.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "daslist/daslist.h"
#include "platform/testhooks.h"
#include "platform/window.h"

namespace {

INT_PTR CountingProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM) {
  if (uMsg == WM_COMMAND && wParam == 176) return 1;
  if (uMsg == WM_CLOSE) {
    EndDialog(hDlg, 0);
    return TRUE;
  }
  return uMsg == WM_INITDIALOG;
}

// A worker's SendMessage to a dialog whose modal loop runs on another
// thread: queue, wake, run the procedure, answer, wake the sender.
void BM_CrossThreadSend(benchmark::State &state) {
  std::thread ui([] { DialogBoxParam(PlatGetInstance(), "DLG_DOWNLOAD", nullptr, CountingProc, 0); });
  HWND h = WaitForWindow("DLG_DOWNLOAD", 10000);
  for (auto _ : state) benchmark::DoNotOptimize(SendMessage(h, WM_COMMAND, 176, 0));
  PostMessage(h, WM_CLOSE, 0, 0);
  ui.join();
}
BENCHMARK(BM_CrossThreadSend)->UseRealTime();

// The list file of n units read into the sorted list box.
int g_units;
INT_PTR LoadProc(HWND hDlg, UINT uMsg, WPARAM, LPARAM) {
  if (uMsg == WM_INITDIALOG) {
    LoadDasList(GetDlgItem(hDlg, IDC_DASLIST));
    g_units = (int)SendDlgItemMessage(hDlg, IDC_DASLIST, LB_GETCOUNT, 0, 0);
    EndDialog(hDlg, 0);
    return TRUE;
  }
  return FALSE;
}

void BM_LoadDasList(benchmark::State &state) {
  namespace fs = std::filesystem;
  fs::path old = fs::current_path();
  fs::path dir = fs::temp_directory_path() / ("tandrel-bench-" + std::to_string(state.range(0)));
  fs::create_directories(dir);
  fs::current_path(dir);
  std::string text = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
  for (int i = 0; i < state.range(0); i++) {
    char row[160];
    // Reverse order: every sorted insertion goes to the front.
    std::snprintf(row, sizeof row, "DAS%09d,Unit %d,\"\",10.0.%d.%d,NO,qexal\r\n",
                  (int)state.range(0) - i, i, i / 256, i % 256);
    text += row;
  }
  std::ofstream("daslist.txt", std::ios::binary) << text;
  for (auto _ : state) DialogBoxParam(PlatGetInstance(), "DLG_DASLIST", nullptr, LoadProc, 0);
  if (g_units != state.range(0)) state.SkipWithError("wrong unit count");
  state.SetItemsProcessed(state.iterations() * state.range(0));
  fs::current_path(old);
  fs::remove_all(dir);
}
BENCHMARK(BM_LoadDasList)->Arg(100)->Arg(2000);

// A night's saves of the unit list, one after every unit's identity read,
// cycling through the units of a list of range(0) units. range(1) 1: each
// identity read gives its unit a new name, so every save writes the file;
// 0: it gives the name the list holds already, so no save writes.
benchmark::State *g_pState;
INT_PTR SaveProc(HWND hDlg, UINT uMsg, WPARAM, LPARAM) {
  if (uMsg != WM_INITDIALOG) return FALSE;
  benchmark::State &state = *g_pState;
  HWND hList = GetDlgItem(hDlg, IDC_DASLIST);
  LoadDasList(hList);
  g_units = (int)SendMessage(hList, LB_GETCOUNT, 0, 0);
  int i = 0;
  long nNight = 0;
  for (auto _ : state) {
    DasRecord *p = reinterpret_cast<DasRecord *>(SendMessage(hList, LB_GETITEMDATA, (WPARAM)i, 0));
    if (state.range(1))
      std::snprintf(p->name, sizeof p->name, "Unit %d night %ld", i, nNight);
    else
      std::snprintf(p->name, sizeof p->name, "Unit %d", i);
    SaveDasList(hList);
    if (++i == g_units) {
      i = 0;
      nNight++;
    }
  }
  EndDialog(hDlg, 0);
  return TRUE;
}

void BM_SaveAfterIdentity(benchmark::State &state) {
  namespace fs = std::filesystem;
  fs::path old = fs::current_path();
  fs::path dir = fs::temp_directory_path() / ("tandrel-bench-save-" + std::to_string(state.range(0)));
  fs::create_directories(dir);
  fs::current_path(dir);
  std::string text = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
  for (int i = 0; i < state.range(0); i++) {
    char row[160];
    std::snprintf(row, sizeof row, "DAS%09d,Unit %d,\"\",10.0.%d.%d,NO,qexal\r\n", i, i, i / 256,
                  i % 256);
    text += row;
  }
  std::ofstream("daslist.txt", std::ios::binary) << text;
  // Written long ago: a save that finds it as it was need not read it to be
  // sure (it would within seconds of a change).
  fs::last_write_time("daslist.txt", fs::file_time_type::clock::now() - std::chrono::hours(1));
  g_pState = &state;
  DialogBoxParam(PlatGetInstance(), "DLG_DASLIST", nullptr, SaveProc, 0);
  if (g_units != state.range(0)) state.SkipWithError("wrong unit count");
  state.SetItemsProcessed(state.iterations());
  fs::current_path(old);
  fs::remove_all(dir);
}
BENCHMARK(BM_SaveAfterIdentity)->Args({2000, 1})->Args({2000, 0})->Args({100, 1});

}  // namespace

BENCHMARK_MAIN();
