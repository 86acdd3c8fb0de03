// The application of the security cases: it asks Quorvane for an Instrumentation
// itself, and through qvinst.other, which does not even require Quorvane.
module qvinst.app {
    // LauncherAgent's agentmain takes an Instrumentation.
    requires transitive java.instrument;
    requires qv.vantrel.quorvane;
    requires qvinst.other;
    // Quorvane starts LauncherAgent by reflection.
    exports qvinst.app;
}
