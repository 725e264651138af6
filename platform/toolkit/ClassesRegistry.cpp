// The toolkit's own classes, registered for stored forms.
#include "platform/toolkit/Controls.h"
#include "platform/toolkit/Forms.h"

void RegisterToolkitClasses() {
  RegisterComponentClass<TComponent>();
  RegisterComponentClass<TForm>();
  RegisterComponentClass<TLabel>();
  RegisterComponentClass<TButton>();
  RegisterComponentClass<TBitBtn>();
  RegisterComponentClass<TRadioButton>();
  RegisterComponentClass<TCheckBox>();
  RegisterComponentClass<TEdit>();
  RegisterComponentClass<TMaskEdit>();
  RegisterComponentClass<TMemo>();
  RegisterComponentClass<TListBox>();
  RegisterComponentClass<TFileListBox>();
  RegisterComponentClass<TComboBox>();
  RegisterComponentClass<TRadioGroup>();
  RegisterComponentClass<TStatusBar>();
  RegisterComponentClass<TImage>();
  RegisterComponentClass<TTimer>();
  RegisterComponentClass<TAction>();
  RegisterComponentClass<TMenuItem>();
  RegisterComponentClass<TTreeView>();
  RegisterComponentClass<TListView>();
  RegisterComponentClass<THeaderControl>();
  RegisterComponentClass<TTabControl>();
  RegisterComponentClass<TOpenDialog>();
  RegisterComponentClass<TSaveDialog>();
}
