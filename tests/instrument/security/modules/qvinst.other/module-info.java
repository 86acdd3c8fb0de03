// A second module that reaches Quorvane by reflection and method handles alone.
module qvinst.other {
    requires java.instrument;
    exports qvinst.other;
}
