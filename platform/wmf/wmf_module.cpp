// Placeholder: the module's entry points arrive with the reader and editor.
