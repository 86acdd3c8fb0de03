package qv.vantrel.quorvane.observe;

import jdk.jfr.Category;
import jdk.jfr.DataAmount;
import jdk.jfr.Description;
import jdk.jfr.Enabled;
import jdk.jfr.Event;
import jdk.jfr.Label;
import jdk.jfr.Name;
import jdk.jfr.StackTrace;

/**
 * One call of one transformer, for one class. Off unless a recording enables it (as the
 * JDK's own jdk.ClassLoad is), so that a recording with the JDK's settings does not fill
 * with class loads; its threshold (0 by default) keeps only the slower calls. No stack
 * trace unless a recording asks for one: it would cost more than the call.
 */
@Name("qv.vantrel.quorvane.ClassTransform")
@Label("Class Transform")
@Category("Quorvane")
@Description("One call of a class-file transformer: the class, what the transformer did and how long it took")
@Enabled(false)
@StackTrace(false)
final class ClassTransformEvent extends Event {
    @Label("Class Name")
    @Description("The class's internal name (com/example/Widget$Part); null for a class defined without one")
    String className;

    @Label("Transformer")
    @Description("The transformer's class")
    String transformer;

    @Label("Route")
    @Description("remap (Remap's transformer) or instrumentation (a ClassFileTransformer of Quorvane's Instrumentation)")
    String route;

    @Label("Cause")
    @Description("load, redefine or retransform")
    String cause;

    @Label("Bytes In")
    @Description("The length of the class file the transformer was given")
    @DataAmount
    int bytesIn;

    @Label("Bytes Out")
    @Description("The length of the class file after the call; bytesIn when the transformer changed nothing")
    @DataAmount
    int bytesOut;

    @Label("Outcome")
    @Description("changed (a class file returned), unchanged (none returned) or failed (the transformer threw)")
    String outcome;

    @Label("Failure")
    @Description("The class of what the transformer threw; null unless it failed")
    String failure;
}
