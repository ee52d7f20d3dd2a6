#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/app/sheet/KeyInput.hpp"
#include "platform/app/sheet/SheetLayout.hpp"
#include "platform/app/sheet/SheetRenderer.hpp"

namespace platform {

// What the two text renderers share: they draw after changes, coalesced into one drawing per
// turn of the main loop, onto an output descriptor, and take keys from KeyInput.
class TextSheetRenderer : public SheetRenderer {
 public:
  // `output` and `keys` are not owned; `keys` is -1 for an input that has ended already.
  TextSheetRenderer(int output, int keys);
  ~TextSheetRenderer() override;

  void show(std::shared_ptr<View> root, std::function<void()> dismissed) override;
  void close() override;

 protected:
  virtual void begin() {}
  virtual void render(const View& root) = 0;
  virtual void end() {}
  void write(const std::string& text) const;
  int output() const { return output_; }
  int keys() const { return keys_; }

 private:
  void drawNow();

  int output_;
  int keys_;
  std::shared_ptr<View> root_;
  std::optional<KeyInput> input_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool scheduled_ = false;
};

// Prints each text the sheet shows whole on a line of its own, when it first appears and each
// time it changes: for output that is not a terminal.
class LineRenderer final : public TextSheetRenderer {
 public:
  using TextSheetRenderer::TextSheetRenderer;

 private:
  void render(const View& root) override;
  std::map<const View*, std::string> printed_;
};

// Draws the sheet in a frame in the terminal, and draws it again in place after each change,
// mirrored where the language of the user's messages is written right to left.
// While shown, a terminal it reads keys from takes each key at once, without echo; its settings
// come back when the sheet closes or a signal ends the process.
class TerminalRenderer final : public TextSheetRenderer {
 public:
  using TextSheetRenderer::TextSheetRenderer;

 private:
  void begin() override;
  void render(const View& root) override;
  void end() override;
  int drawnRows_ = 0;
  sheetLayout::Direction direction_ = sheetLayout::Direction::leftToRight;
};

}  // namespace platform
