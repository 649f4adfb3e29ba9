#pragma once
// The operator's options, read when the run starts (they cannot change during a run).

namespace engine {

struct TRunOptions {
  bool TestExport = false;    // CheckBox1 "Тестовая выгрузка"
  bool AllInARow = true;      // RadioButton1 "Выгружать всех подряд"
  bool Separate = false;      // RadioButton2 "Выгружать отдельно:"
  bool Active = false;        // ActiveCheckBox "Активных"
  bool Inactive = false;      // InactiveCheckBox "Неактивных"
};

}  // namespace engine
