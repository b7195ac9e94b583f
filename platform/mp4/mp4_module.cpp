// Placeholder: the module's entry points arrive with the MP4 reader.
