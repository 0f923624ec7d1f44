// The plug-in's entry points (qt_plugin_instance, qt_plugin_query_metadata)
// and its metadata record come from Q_PLUGIN_METADATA on KTMRC600Cam; this
// module only links the core library whole around them.
