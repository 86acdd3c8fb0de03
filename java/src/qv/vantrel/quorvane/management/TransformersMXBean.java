package qv.vantrel.quorvane.management;

import java.util.List;

/**
 * What the transformers of one copy of Quorvane have done, in the platform MBean server
 * under {@value #OBJECT_NAME} (a second copy of the library in the same JVM, loaded by
 * a class loader of its own, under {@code qv.vantrel.quorvane:type=Transformers,copy=2},
 * and so on). It is registered when either route (Remap's transformer, or a
 * {@code ClassFileTransformer} of Quorvane's {@code Instrumentation}) first has a
 * transformer and the platform MBean server exists, and unregistered by
 * {@code Quorvane.detach()}. Quorvane does not make that server itself (making it loads
 * some 700 classes): when nothing has made it by the first transformer, a daemon thread
 * named "Quorvane MXBean registration" looks for it once a second and registers the
 * MXBean within a second of its making (by the application, a monitoring agent, or
 * JConsole attaching).
 *
 * <p>A JMX client (JConsole, VisualVM) sees the attribute {@code Transformers}: an array
 * of composite data with the keys {@code transformer}, {@code route},
 * {@code classesSeen}, {@code classesChanged}, {@code failures} and
 * {@code totalNanos}. In the same JVM:
 *
 * <pre>{@code
 * TransformersMXBean transformers = JMX.newMXBeanProxy(ManagementFactory.getPlatformMBeanServer(),
 *         new ObjectName(TransformersMXBean.OBJECT_NAME), TransformersMXBean.class);
 * for (TransformerInfo info : transformers.getTransformers()) { ... }
 * }</pre>
 *
 * <p>Without the module java.management (an image linked without it) there is no MXBean,
 * and Quorvane works the same.
 */
public interface TransformersMXBean {
    /** The name of the first copy's MXBean. */
    String OBJECT_NAME = "qv.vantrel.quorvane:type=Transformers";

    /**
     * One entry per transformer registered now, in the order they were added, with what it
     * has done since it was added. A transformer removed (or replaced, on Remap) leaves the
     * list; one added twice is listed twice.
     *
     * @return the entries
     */
    List<TransformerInfo> getTransformers();
}
