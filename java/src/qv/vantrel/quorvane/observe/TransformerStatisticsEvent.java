package qv.vantrel.quorvane.observe;

import jdk.jfr.Category;
import jdk.jfr.Description;
import jdk.jfr.Label;
import jdk.jfr.Name;
import jdk.jfr.Period;
import jdk.jfr.StackTrace;
import jdk.jfr.Timespan;

/**
 * What one transformer has done since it was added, once at the end of every chunk of a
 * recording (so also at its end), for each transformer registered at that moment.
 */
@Name("qv.vantrel.quorvane.TransformerStatistics")
@Label("Transformer Statistics")
@Category("Quorvane")
@Description("The totals of one transformer since it was added")
@Period("endChunk")
@StackTrace(false)
final class TransformerStatisticsEvent extends jdk.jfr.Event {
    @Label("Transformer")
    @Description("The transformer's class")
    String transformer;

    @Label("Route")
    @Description("remap or instrumentation")
    String route;

    @Label("Classes Seen")
    @Description("Calls of the transformer: classes it was given")
    long classesSeen;

    @Label("Classes Changed")
    @Description("Calls that returned a class file")
    long classesChanged;

    @Label("Failures")
    @Description("Calls that threw")
    long failures;

    @Label("Total Time")
    @Description("The time all its calls took")
    @Timespan(Timespan.NANOSECONDS)
    long totalTime;
}
